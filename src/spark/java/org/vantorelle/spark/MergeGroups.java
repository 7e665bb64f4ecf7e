package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.List;
import org.apache.spark.sql.Encoders;
import org.apache.spark.sql.catalyst.expressions.Alias;
import org.apache.spark.sql.catalyst.expressions.Attribute;
import org.apache.spark.sql.catalyst.expressions.Cast;
import org.apache.spark.sql.catalyst.expressions.Coalesce;
import org.apache.spark.sql.catalyst.expressions.Concat;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.Literal;
import org.apache.spark.sql.catalyst.expressions.NamedExpression;
import org.apache.spark.sql.catalyst.plans.logical.Aggregate;
import org.apache.spark.sql.catalyst.plans.logical.LogicalPlan;
import org.apache.spark.sql.catalyst.plans.logical.Project;
import org.apache.spark.sql.catalyst.rules.Rule;
import org.apache.spark.sql.execution.aggregate.ScalaAggregator;
import org.apache.spark.sql.catalyst.encoders.ExpressionEncoder;
import org.apache.spark.sql.catalyst.encoders.package$;
import org.apache.spark.sql.internal.SQLConf;
import org.apache.spark.sql.types.DataTypes;
import org.apache.spark.sql.types.StringType;
import scala.Option;
import scala.Tuple2;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;
import scala.runtime.AbstractFunction1;

/**
 * Gives vantorelle_merge the group it aggregates, so that a corrupt stored
 * sketch fails the job naming its column and its group. An aggregate does
 * not see its group's key; this rule adds the key, as text, to the merge's
 * input (a stored sketch costs far more to merge than its key to format).
 * Runs once the query is resolved, in the analyser (VantorelleExtensions) or
 * at the end of the optimiser (Functions.register); a plan it has rewritten
 * is left alone.
 *
 * <p>The keys are named as the query's result names them. By the end of the
 * optimiser Spark has replaced an expression key by a column of its own
 * (k % 10 by _groupingexpression, computed below the aggregate) and a
 * constant key by the constant 0; the aggregate's output still names them
 * as the query does ((k % 10), or b for k % 10 AS b).
 */
public final class MergeGroups extends Rule<LogicalPlan> {
  // Spark's own column of GROUPING SETS and ROLLUP, not a key of the user's.
  private static final String GROUPING_ID = "spark_grouping_id";
  // The column the optimiser computes an expression key in.
  private static final String PULLED_OUT = "_groupingexpression";

  @Override
  public LogicalPlan apply(LogicalPlan plan) {
    LogicalPlan below = plan.mapChildren(new AbstractFunction1<LogicalPlan, LogicalPlan>() {
      @Override
      public LogicalPlan apply(LogicalPlan child) {
        return MergeGroups.this.apply(child);
      }
    });
    if (!(below instanceof Aggregate aggregate) || !aggregate.resolved()) return below;
    Expression group = groupText(aggregate);
    if (group == null) return below;
    return aggregate.mapExpressions(new Keyed(group));
  }

  // "k1=0, k2='a'" (NULL for a null key); null without keys.
  private static Expression groupText(Aggregate aggregate) {
    if (aggregate.groupingExpressions().isEmpty()) return null;
    List<Expression> keys = new ArrayList<>();
    for (Expression key : CollectionConverters.asJava(aggregate.groupingExpressions())) {
      boolean gid = key instanceof Attribute attribute && attribute.name().startsWith(GROUPING_ID);
      if (!gid && !key.foldable()) keys.add(key);
    }
    // Grouped by constants only: the result's constant columns are the keys.
    boolean constant = keys.isEmpty();
    List<Expression> parts = new ArrayList<>();
    List<Expression> named = new ArrayList<>();
    for (NamedExpression output : CollectionConverters.asJava(aggregate.aggregateExpressions())) {
      Expression value = output instanceof Alias alias ? alias.child() : (Expression) output;
      boolean key = constant ? value.foldable() : keys.stream().anyMatch(value::semanticEquals);
      if (!key || named.stream().anyMatch(value::semanticEquals)) continue;
      named.add(value);
      addKey(parts, output.name(), value);
    }
    // Keys the result does not show, by their own names.
    for (Expression key : keys) {
      if (named.stream().anyMatch(key::semanticEquals)) continue;
      String name = key instanceof Attribute attribute ? attribute.name() : prettySql(key);
      if (name.startsWith(PULLED_OUT)) {
        Expression computed = pulledOut(aggregate.child(), (Attribute) key);
        if (computed == null) continue;
        name = prettySql(computed);
      }
      addKey(parts, name, key);
    }
    if (parts.isEmpty()) return null;
    return new Concat(CollectionConverters.asScala(parts).toList());
  }

  // An expression as Spark names a column of it: (k % 10), not (bad.k % 10L).
  private static String prettySql(Expression expression) {
    org.apache.spark.sql.catalyst.util.package$ util =
        org.apache.spark.sql.catalyst.util.package$.MODULE$;
    return util.toPrettySQL(expression, util.toPrettySQL$default$2());
  }

  private static void addKey(List<Expression> parts, String name, Expression key) {
    parts.add(Literal.create((parts.isEmpty() ? "" : ", ") + name + "=", DataTypes.StringType));
    Expression text = new Cast(key, DataTypes.StringType,
        Option.apply(SQLConf.get().sessionLocalTimeZone()));
    if (key.dataType() instanceof StringType) {
      Expression quote = Literal.create("'", DataTypes.StringType);
      text = new Concat(CollectionConverters.asScala(List.of(quote, text, quote)).toList());
    }
    List<Expression> either = List.of(text, Literal.create("NULL", DataTypes.StringType));
    parts.add(new Coalesce(CollectionConverters.asScala(either).toList()));
  }

  // The expression the optimiser computes `key` from, in a projection below.
  private static Expression pulledOut(LogicalPlan plan, Attribute key) {
    if (plan instanceof Project project) {
      for (NamedExpression column : CollectionConverters.asJava(project.projectList())) {
        if (column instanceof Alias alias && alias.exprId().equals(key.exprId())) return alias.child();
      }
    }
    for (LogicalPlan child : CollectionConverters.asJava(plan.children())) {
      Expression found = pulledOut(child, key);
      if (found != null) return found;
    }
    return null;
  }

  private static <T> ExpressionEncoder<T> bound(ExpressionEncoder<T> encoder) {
    return encoder.resolveAndBind(encoder.resolveAndBind$default$1(),
        encoder.resolveAndBind$default$2());
  }

  // Rewrites the vantorelle_merge calls inside an expression.
  private static final class Keyed extends AbstractFunction1<Expression, Expression> {
    private final Expression group;

    Keyed(Expression group) {
      this.group = group;
    }

    @Override
    public Expression apply(Expression expression) {
      if (expression instanceof ScalaAggregator<?, ?, ?> aggregator
          && aggregator.agg() instanceof SketchAggregators.Merge merge) {
        Expression sketches = aggregator.children().head();
        SketchAggregators.KeyedMerge keyed = new SketchAggregators.KeyedMerge(merge.where);
        // Bound here: this rule may run after the analyser's step that
        // binds the encoders of the aggregates it built.
        ExpressionEncoder<Tuple2<byte[], String>> input =
            package$.MODULE$.encoderFor(Encoders.tuple(Encoders.BINARY(), Encoders.STRING()));
        ExpressionEncoder<SketchBuffer> buffer = package$.MODULE$.encoderFor(keyed.bufferEncoder());
        Seq<Expression> inputs = CollectionConverters.asScala(List.of(sketches, group)).toList();
        return new ScalaAggregator<>(inputs, keyed, bound(input), bound(buffer), true, true, 0, 0,
            Option.apply("vantorelle_merge"));
      }
      return expression.mapChildren(this);
    }
  }
}
