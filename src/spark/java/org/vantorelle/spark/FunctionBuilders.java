package org.vantorelle.spark;

import java.util.List;
import org.apache.spark.sql.AnalysisException;
import org.apache.spark.sql.Encoder;
import org.apache.spark.sql.Encoders;
import org.apache.spark.sql.catalyst.expressions.Cast;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.If;
import org.apache.spark.sql.catalyst.expressions.IsNull;
import org.apache.spark.sql.catalyst.expressions.Literal;
import org.apache.spark.sql.catalyst.expressions.NamedExpression$;
import org.apache.spark.sql.catalyst.expressions.aggregate.AggregateExpression;
import org.apache.spark.sql.catalyst.expressions.objects.StaticInvoke;
import org.apache.spark.sql.execution.aggregate.ScalaAggregator$;
import org.apache.spark.sql.expressions.Aggregator;
import org.apache.spark.sql.expressions.UserDefinedAggregator;
import org.apache.spark.sql.types.AbstractDataType;
import org.apache.spark.sql.types.BinaryType;
import org.apache.spark.sql.types.BooleanType;
import org.apache.spark.sql.types.ByteType;
import org.apache.spark.sql.types.DataType;
import org.apache.spark.sql.types.DataTypes;
import org.apache.spark.sql.types.IntegerType;
import org.apache.spark.sql.types.LongType;
import org.apache.spark.sql.types.NullType;
import org.apache.spark.sql.types.NumericType;
import org.apache.spark.sql.types.ShortType;
import org.apache.spark.sql.types.StringType;
import org.apache.spark.sql.types.StructType;
import scala.Option;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;

/**
 * The function builders Spark calls when it analyses a query: they see the
 * arguments' types, refuse what the core does not count (and precisions it
 * refuses) before any job runs, and build the aggregate or the call of a
 * static method.
 */
public final class FunctionBuilders {
  private FunctionBuilders() {}

  static final StructType BOUNDS =
      new StructType().add("lower", DataTypes.LongType, false).add("upper", DataTypes.LongType, false);

  // Thrown while the query is analysed: Spark reports it as the query's
  // AnalysisException. Java checks it, Scala's callers do not.
  static RuntimeException refused(String message) {
    // Spark's error class for a function's own type check; the message is
    // ours (the class adds the final full stop).
    throw FunctionBuilders.<RuntimeException>unchecked(new AnalysisException(
        "DATATYPE_MISMATCH.TYPE_CHECK_FAILURE_WITH_HINT",
        new scala.collection.immutable.Map.Map3<String, String>(
            "sqlExpr", functionOf(message), "msg", message.replaceAll("\\.+$", ""), "hint", "")));
  }

  // Every refusal starts with the function's name.
  private static String functionOf(String message) {
    int end = 0;
    while (end < message.length()
        && (Character.isLetter(message.charAt(end)) || message.charAt(end) == '_')) {
      ++end;
    }
    return "`" + message.substring(0, end) + "`";
  }

  @SuppressWarnings("unchecked")
  private static <E extends Throwable> E unchecked(Throwable error) throws E {
    throw (E) error;
  }

  private static List<Expression> arguments(Seq<Expression> children, String name, int least,
      int most, String usage) {
    List<Expression> list = CollectionConverters.asJava(children);
    if (list.size() < least || list.size() > most) {
      throw refused(name + " takes " + usage + ", not " + list.size() + " argument"
          + (list.size() == 1 ? "" : "s"));
    }
    return list;
  }

  private static Seq<Expression> seq(Expression... items) {
    return CollectionConverters.asScala(List.of(items)).toSeq();
  }

  private static Seq<AbstractDataType> types(AbstractDataType... items) {
    return CollectionConverters.asScala(List.of(items)).toSeq();
  }

  // A column by its name, anything else by its SQL text.
  private static String describe(Expression expression) {
    if (expression instanceof org.apache.spark.sql.catalyst.expressions.NamedExpression named) {
      return named.name();
    }
    return expression.sql();
  }

  // A precision argument: an integer constant.
  private static int precision(Expression argument, String which) {
    DataType type = argument.dataType();
    boolean integral = type instanceof ByteType || type instanceof ShortType
        || type instanceof IntegerType || type instanceof LongType;
    if (!integral || !argument.foldable()) {
      throw refused("vantorelle_sketch: the " + which + " must be an integer constant, not "
          + describe(argument) + " (" + type.simpleString() + ")");
    }
    Object value = argument.eval(null);
    if (value == null) {
      throw refused("vantorelle_sketch: the " + which + " must not be NULL");
    }
    long number = ((Number) value).longValue();
    if (number < Integer.MIN_VALUE || number > Integer.MAX_VALUE) {
      throw refused("vantorelle_sketch: the " + which + " " + number + " is out of range");
    }
    return (int) number;
  }

  private static <IN> Expression aggregate(Aggregator<IN, SketchBuffer, byte[]> aggregator,
      Encoder<IN> input, String name, Expression argument) {
    UserDefinedAggregator<IN, SketchBuffer, byte[]> function =
        new UserDefinedAggregator<>(aggregator, input, Option.apply(name), true, true);
    return ScalaAggregator$.MODULE$.apply(function, seq(argument));
  }

  /** vantorelle_sketch(value [, normal_precision [, sparse_precision]]). */
  public static Expression sketch(Seq<Expression> children) {
    List<Expression> args = arguments(children, "vantorelle_sketch", 1, 3,
        "a value and up to two precisions");
    int normal = args.size() > 1 ? precision(args.get(1), "normal precision") : 15;
    int sparse = args.size() > 2 ? precision(args.get(2), "sparse precision") : 20;
    String refusal = NativeSketches.checkPrecisions(normal, sparse);
    if (refusal != null) throw refused("vantorelle_sketch: " + refusal);

    Expression value = args.get(0);
    DataType type = value.dataType();
    String where = "vantorelle_sketch, column " + describe(value);
    if (type instanceof ByteType || type instanceof ShortType || type instanceof IntegerType
        || type instanceof LongType || type instanceof BooleanType) {
      // Booleans count as 0 and 1, as the cast gives them.
      Expression asLong = type instanceof LongType
          ? value : new Cast(value, DataTypes.LongType, Option.empty());
      return new SketchAggregate(asLong, NativeSketches.LONG, normal, sparse, where);
    }
    if (type instanceof StringType) {
      // Text is counted by its UTF-8 bytes, which the aggregate copies from
      // Spark's string as they are.
      return new SketchAggregate(value, NativeSketches.STRING, normal, sparse, where);
    }
    if (type instanceof BinaryType) {
      return new SketchAggregate(value, NativeSketches.BYTES, normal, sparse, where);
    }
    throw refused("vantorelle_sketch cannot count " + describe(value) + " of type "
        + type.sql() + ": it counts integers (TINYINT to BIGINT), BOOLEAN (as 0 and 1), "
        + "STRING (its UTF-8 bytes) and BINARY; cast the column to one of them");
  }

  // A sketch argument: BINARY, or a NULL literal.
  private static Expression sketchArgument(String name, Expression argument) {
    DataType type = argument.dataType();
    if (type instanceof NullType) return Literal.create(null, DataTypes.BinaryType);
    if (!(type instanceof BinaryType)) {
      throw refused(name + " takes serialised sketches (BINARY), not " + describe(argument)
          + " of type " + type.sql());
    }
    return argument;
  }

  /** vantorelle_merge(sketch). */
  public static Expression merge(Seq<Expression> children) {
    List<Expression> args = arguments(children, "vantorelle_merge", 1, 1, "one sketch column");
    Expression sketches = sketchArgument("vantorelle_merge", args.get(0));
    return aggregate(new SketchAggregators.Merge("vantorelle_merge, column " + describe(sketches)),
        Encoders.BINARY(), "vantorelle_merge", sketches);
  }

  private static Expression call(String method, DataType result, Expression... arguments) {
    AbstractDataType[] inputs = new AbstractDataType[arguments.length];
    for (int i = 0; i < arguments.length; ++i) inputs[i] = arguments[i].dataType();
    return new StaticInvoke(Scalars.class, result, method, seq(arguments), types(inputs),
        false, false, true, Option.empty());
  }

  /** vantorelle_estimate(sketch): 0 for NULL. */
  public static Expression estimate(Seq<Expression> children) {
    List<Expression> args = arguments(children, "vantorelle_estimate", 1, 1, "one sketch");
    // Of a sketch made in the same query, the estimate is taken where the
    // sketch is finished: one native call per group instead of two, and no
    // bytes handed over between them.
    if (args.get(0) instanceof AggregateExpression aggregate
        && aggregate.aggregateFunction() instanceof SketchAggregate sketch
        && !sketch.estimates()) {
      return aggregate.copy(sketch.estimating(), aggregate.mode(), aggregate.isDistinct(),
          aggregate.filter(), NamedExpression$.MODULE$.newExprId());
    }
    return named("vantorelle_estimate", args);
  }

  /** vantorelle_bounds(sketch, confidence): {lower, upper}; NULL for a NULL confidence. */
  public static Expression bounds(Seq<Expression> children) {
    List<Expression> args =
        arguments(children, "vantorelle_bounds", 2, 2, "a sketch and a confidence");
    Expression call = named("vantorelle_bounds", args);
    checkConstantConfidence(args.get(1));
    return call;
  }

  // A constant confidence is refused now, before any job, as the
  // precisions are; any other is checked row by row.
  private static void checkConstantConfidence(Expression confidence) {
    if (!confidence.foldable() || !(confidence.dataType() instanceof NumericType)) return;
    Object value;
    try {
      value = new Cast(confidence, DataTypes.DoubleType, Option.empty()).eval(null);
    } catch (RuntimeException error) {
      return;  // (its own failure, 1 / 0 say, is the query's when it runs)
    }
    if (value == null) return;
    String refusal = NativeSketches.checkConfidence((Double) value);
    if (refusal != null) throw refused("vantorelle_bounds: " + refusal);
  }

  public static Expression union(Seq<Expression> children) {
    return named("vantorelle_union", arguments(children, "vantorelle_union", 2, 2, "two sketches"));
  }

  public static Expression intersection(Seq<Expression> children) {
    return named("vantorelle_intersection",
        arguments(children, "vantorelle_intersection", 2, 2, "two sketches"));
  }

  public static Expression jaccard(Seq<Expression> children) {
    return named("vantorelle_jaccard",
        arguments(children, "vantorelle_jaccard", 2, 2, "two sketches"));
  }

  // A scalar function's call as written (NamedCall), its arguments checked
  // now, while the query is analysed, and named as the query names them
  // (the optimiser may replace a column by what it stands for).
  private static Expression named(String name, List<Expression> args) {
    List<String> columns = args.stream().map(FunctionBuilders::describe).toList();
    scalarCall(name, args, columns);
    return new NamedCall(name, seq(args.toArray(new Expression[0])), columns);
  }

  /**
   * The expression that computes scalar function `name` of checked
   * arguments; `columns` names them in its failures.
   */
  static Expression scalarCall(String name, List<Expression> args, List<String> columns) {
    return switch (name) {
      case "vantorelle_estimate" -> call("estimate", DataTypes.LongType,
          sketchArgument(name, args.get(0)), text(columns.get(0)));
      case "vantorelle_bounds" -> boundsCall(args.get(0), args.get(1), columns.get(0));
      case "vantorelle_union" -> call("union", DataTypes.LongType, pair(name, args, columns));
      case "vantorelle_intersection" ->
          call("intersection", DataTypes.LongType, pair(name, args, columns));
      case "vantorelle_jaccard" -> call("jaccard", DataTypes.DoubleType, pair(name, args, columns));
      default -> throw new IllegalArgumentException("no scalar function " + name);
    };
  }

  private static Expression text(String value) {
    return Literal.create(value, DataTypes.StringType);
  }

  private static Expression boundsCall(Expression sketchColumn, Expression confidence,
      String column) {
    Expression sketch = sketchArgument("vantorelle_bounds", sketchColumn);
    DataType type = confidence.dataType();
    if (type instanceof NullType) return Literal.create(null, BOUNDS);
    if (!(type instanceof NumericType)) {
      throw refused("vantorelle_bounds: the confidence must be a number, not "
          + describe(confidence) + " of type " + type.sql());
    }
    Expression asDouble = new Cast(confidence, DataTypes.DoubleType, Option.empty());
    return new If(new IsNull(asDouble), Literal.create(null, BOUNDS),
        call("bounds", BOUNDS, sketch, asDouble, text(column)));
  }

  private static Expression[] pair(String name, List<Expression> args, List<String> columns) {
    return new Expression[] {sketchArgument(name, args.get(0)), sketchArgument(name, args.get(1)),
        text(columns.get(0)), text(columns.get(1))};
  }
}
