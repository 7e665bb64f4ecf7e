package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.List;
import java.util.Objects;
import org.apache.spark.network.util.JavaUtils;
import org.apache.spark.rdd.RDD;
import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.Attribute;
import org.apache.spark.sql.catalyst.expressions.AttributeSet;
import org.apache.spark.sql.catalyst.expressions.AttributeSet$;
import org.apache.spark.sql.catalyst.expressions.BoundReference;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.NamedExpression;
import org.apache.spark.sql.catalyst.expressions.UnsafeProjection;
import org.apache.spark.sql.catalyst.expressions.aggregate.AggregateExpression;
import org.apache.spark.sql.execution.SparkPlan;
import org.apache.spark.sql.execution.aggregate.ObjectHashAggregateExec;
import org.apache.spark.sql.execution.metric.SQLMetric;
import org.apache.spark.sql.execution.metric.SQLMetrics;
import org.apache.spark.sql.internal.SQLConf;
import org.apache.spark.sql.types.DataType;
import org.apache.spark.sql.types.DateType;
import org.apache.spark.sql.types.IntegerType;
import org.apache.spark.sql.types.LongType;
import org.apache.spark.sql.types.TimestampNTZType;
import org.apache.spark.sql.types.TimestampType;
import scala.collection.Iterator;
import scala.collection.immutable.IndexedSeq;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;
import scala.reflect.ClassTag;
import scala.reflect.ClassTag$;
import scala.runtime.AbstractFunction1;

/**
 * The partial step of a GROUP BY whose aggregates are all vantorelle_sketch
 * (SketchPlanning puts it in place of Spark's object hash aggregate): the
 * same output, the same plan around it, but each row goes straight to its
 * group instead of through Spark's generic aggregation, which costs more a
 * row than the sketch itself, and no number of groups makes it sort rows.
 * One integer key and one BIGINT value: SortedPartialIterator; any other
 * shape: PartialSketchIterator. A columnar scan below is read in place
 * (BatchRows).
 */
public final class SketchPartialAggregateExec extends SparkPlan {
  private static final long serialVersionUID = 1L;

  /** The Spark setting that caps a task's buffers before it writes its groups out. */
  public static final String BUDGET_SETTING = "spark.vantorelle.partialAggregationBytes";
  private static final long DEFAULT_BUDGET = 64L << 20;

  private final Seq<NamedExpression> groupingExpressions;
  private final Seq<AggregateExpression> aggregateExpressions;
  private final Seq<Attribute> output;
  private final SparkPlan child;
  private transient scala.collection.immutable.Map<String, SQLMetric> metrics;

  public SketchPartialAggregateExec(Seq<NamedExpression> groupingExpressions,
      Seq<AggregateExpression> aggregateExpressions, Seq<Attribute> output, SparkPlan child) {
    this.groupingExpressions = groupingExpressions;
    this.aggregateExpressions = aggregateExpressions;
    this.output = output;
    this.child = child;
  }

  /** The step that replaces Spark's partial `aggregate`, with the same output. */
  static SketchPartialAggregateExec of(ObjectHashAggregateExec aggregate) {
    return new SketchPartialAggregateExec(aggregate.groupingExpressions(),
        aggregate.aggregateExpressions(), aggregate.output(), aggregate.child());
  }

  @Override
  public Seq<Attribute> output() {
    return output;
  }

  // The buffers are made here, not read from the child.
  @Override
  public AttributeSet producedAttributes() {
    List<Expression> made = new ArrayList<>(CollectionConverters.asJava(output));
    return AttributeSet$.MODULE$.apply(CollectionConverters.asScala(made).toSeq());
  }

  @Override
  public Seq<SparkPlan> children() {
    return CollectionConverters.asScala(List.of(child)).toList();
  }

  @Override
  public SparkPlan withNewChildrenInternal(IndexedSeq<SparkPlan> newChildren) {
    return new SketchPartialAggregateExec(groupingExpressions, aggregateExpressions, output,
        newChildren.apply(0));
  }

  @Override
  public scala.collection.immutable.Map<String, SQLMetric> metrics() {
    if (metrics == null) {
      metrics = new scala.collection.immutable.Map.Map1<>("numOutputRows",
          SQLMetrics.createMetric(sparkContext(), "number of output rows"));
    }
    return metrics;
  }

  @Override
  public String nodeName() {
    return "VantorelleSketchPartialAggregate";
  }

  /** The setting's bytes: a count, or a size in Spark's units ("64m"). */
  static long budget(String setting) {
    try {
      return JavaUtils.byteStringAsBytes(setting.strip());
    } catch (IllegalArgumentException error) {
      // (a malformed number, or a size past Long.MAX_VALUE)
      throw new IllegalArgumentException(
          BUDGET_SETTING + " must be a size in bytes, as 67108864 or 64m, not '" + setting + "'");
    }
  }

  @Override
  public RDD<InternalRow> doExecute() {
    long budget =
        budget(SQLConf.get().getConfString(BUDGET_SETTING, Long.toString(DEFAULT_BUDGET)));
    Partition task = new Partition(child.output(), groupingExpressions, aggregateExpressions,
        output, budget, longMetric("numOutputRows"));
    ClassTag<InternalRow> rowTag = ClassTag$.MODULE$.apply(InternalRow.class);
    SparkPlan columnar = BatchRows.columnarSource(child);
    RDD<InternalRow> rows = columnar == null
        ? child.execute()
        : columnar.executeColumnar().mapPartitions(new BatchRows(), false, rowTag);
    return rows.mapPartitions(task, false, rowTag);
  }

  @Override
  public int productArity() {
    return 4;
  }

  @Override
  public Object productElement(int n) {
    return switch (n) {
      case 0 -> groupingExpressions;
      case 1 -> aggregateExpressions;
      case 2 -> output;
      case 3 -> child;
      default -> throw new IndexOutOfBoundsException(n);
    };
  }

  @Override
  public boolean canEqual(Object other) {
    return other instanceof SketchPartialAggregateExec;
  }

  @Override
  public boolean equals(Object other) {
    return other instanceof SketchPartialAggregateExec that
        && groupingExpressions.equals(that.groupingExpressions)
        && aggregateExpressions.equals(that.aggregateExpressions) && output.equals(that.output)
        && child.equals(that.child);
  }

  @Override
  public int hashCode() {
    return Objects.hash(groupingExpressions, aggregateExpressions, output, child);
  }

  /** What each task runs: shipped to the executors. */
  private static final class Partition
      extends AbstractFunction1<Iterator<InternalRow>, Iterator<InternalRow>>
      implements java.io.Serializable {
    private static final long serialVersionUID = 1L;

    private final Seq<Attribute> input;
    private final Seq<NamedExpression> grouping;
    private final Seq<AggregateExpression> aggregates;
    private final Seq<Attribute> output;
    private final long budget;
    private final SQLMetric outputRows;

    Partition(Seq<Attribute> input, Seq<NamedExpression> grouping,
        Seq<AggregateExpression> aggregates, Seq<Attribute> output, long budget,
        SQLMetric outputRows) {
      this.input = input;
      this.grouping = grouping;
      this.aggregates = aggregates;
      this.output = output;
      this.budget = budget;
      this.outputRows = outputRows;
    }

    @Override
    public Iterator<InternalRow> apply(Iterator<InternalRow> rows) {
      List<Attribute> columns = CollectionConverters.asJava(input);
      List<AggregateExpression> calls = CollectionConverters.asJava(aggregates);
      SketchAggregate[] bound = new SketchAggregate[calls.size()];
      List<Expression> arguments = new ArrayList<>();
      boolean allColumns = true;
      for (AggregateExpression call : calls) {
        Expression argument = call.aggregateFunction().children().head();
        arguments.add(argument);
        allColumns &= ordinal(columns, argument) >= 0;
      }
      UnsafeProjection inputs = null;
      for (int j = 0; j < bound.length; ++j) {
        Expression argument = arguments.get(j);
        // Plain columns are read from the row as it comes; anything else is
        // evaluated into one row of all the aggregates' arguments first.
        int at = allColumns ? ordinal(columns, argument) : j;
        bound[j] = ((SketchAggregate) calls.get(j).aggregateFunction())
            .reading(new BoundReference(at, argument.dataType(), argument.nullable()));
      }
      if (!allColumns) {
        inputs = UnsafeProjection.create(CollectionConverters.asScala(arguments).toSeq(), input);
      }
      List<DataType> types = new ArrayList<>();
      for (Attribute attribute : CollectionConverters.asJava(output)) types.add(attribute.dataType());
      UnsafeProjection out = UnsafeProjection.create(types.toArray(new DataType[0]));
      PartialSketchIterator.Keys keys = keys(columns);
      if (keys instanceof PartialSketchIterator.IntegerKey key && bound.length == 1 && allColumns
          && bound[0].kind() == NativeSketches.LONG
          && arguments.get(0).dataType() instanceof LongType) {
        return new SortedPartialIterator(rows, key.ordinal(), key.narrow(),
            ordinal(columns, arguments.get(0)), bound[0], out, budget, outputRows);
      }
      return new PartialSketchIterator(rows, keys, bound, inputs, out, budget, outputRows);
    }

    private PartialSketchIterator.Keys keys(List<Attribute> columns) {
      List<Expression> keys = new ArrayList<>();
      for (NamedExpression key : CollectionConverters.asJava(grouping)) keys.add((Expression) key);
      if (keys.size() == 1) {
        int at = ordinal(columns, keys.get(0));
        DataType type = keys.get(0).dataType();
        boolean narrow = type instanceof IntegerType || type instanceof DateType;
        boolean wide = type instanceof LongType || type instanceof TimestampType
            || type instanceof TimestampNTZType;
        if (at >= 0 && (narrow || wide)) return new PartialSketchIterator.IntegerKey(at, narrow);
      }
      return new PartialSketchIterator.ProjectedKeys(
          UnsafeProjection.create(CollectionConverters.asScala(keys).toSeq(), input));
    }

    // The column `expression` is, or -1.
    private static int ordinal(List<Attribute> columns, Expression expression) {
      if (!(expression instanceof Attribute attribute)) return -1;
      for (int i = 0; i < columns.size(); ++i) {
        if (columns.get(i).exprId().equals(attribute.exprId())) return i;
      }
      return -1;
    }
  }
}
