package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.List;
import org.apache.spark.sql.Encoders;
import org.apache.spark.sql.catalyst.expressions.Attribute;
import org.apache.spark.sql.catalyst.expressions.Cast;
import org.apache.spark.sql.catalyst.expressions.Coalesce;
import org.apache.spark.sql.catalyst.expressions.Concat;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.Literal;
import org.apache.spark.sql.catalyst.plans.logical.Aggregate;
import org.apache.spark.sql.catalyst.plans.logical.LogicalPlan;
import org.apache.spark.sql.catalyst.rules.Rule;
import org.apache.spark.sql.execution.aggregate.ScalaAggregator;
import org.apache.spark.sql.catalyst.encoders.ExpressionEncoder;
import org.apache.spark.sql.catalyst.encoders.package$;
import org.apache.spark.sql.types.DataTypes;
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
 * Runs once the query is resolved; a plan it has rewritten is left alone.
 */
public final class MergeGroups extends Rule<LogicalPlan> {
  // Spark's own column of GROUPING SETS and ROLLUP, not a key of the user's.
  private static final String GROUPING_ID = "spark_grouping_id";

  @Override
  public LogicalPlan apply(LogicalPlan plan) {
    LogicalPlan below = plan.mapChildren(new AbstractFunction1<LogicalPlan, LogicalPlan>() {
      @Override
      public LogicalPlan apply(LogicalPlan child) {
        return MergeGroups.this.apply(child);
      }
    });
    if (!(below instanceof Aggregate aggregate) || !aggregate.resolved()) return below;
    Expression group = groupText(CollectionConverters.asJava(aggregate.groupingExpressions()));
    return aggregate.mapExpressions(new Keyed(group));
  }

  // "k1=0, k2=a" (NULL for a null key); the empty text without keys.
  private static Expression groupText(List<Expression> keys) {
    List<Expression> parts = new ArrayList<>();
    for (Expression key : keys) {
      String name = key instanceof Attribute attribute ? attribute.name() : key.sql();
      if (name.startsWith(GROUPING_ID)) continue;
      parts.add(Literal.create((parts.isEmpty() ? "" : ", ") + name + "=", DataTypes.StringType));
      List<Expression> either = List.of(
          new Cast(key, DataTypes.StringType, Option.empty()),
          Literal.create("NULL", DataTypes.StringType));
      parts.add(new Coalesce(CollectionConverters.asScala(either).toList()));
    }
    if (parts.isEmpty()) return Literal.create("", DataTypes.StringType);
    return new Concat(CollectionConverters.asScala(parts).toList());
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
