package org.vantorelle.spark;

import java.util.List;
import org.apache.spark.sql.catalyst.expressions.aggregate.AggregateExpression;
import org.apache.spark.sql.catalyst.expressions.aggregate.Partial$;
import org.apache.spark.sql.catalyst.rules.Rule;
import org.apache.spark.sql.execution.ColumnarRule;
import org.apache.spark.sql.execution.SparkPlan;
import org.apache.spark.sql.execution.aggregate.ObjectHashAggregateExec;
import scala.jdk.javaapi.CollectionConverters;
import scala.runtime.AbstractFunction1;

/**
 * Puts SketchPartialAggregateExec in place of the partial step of a GROUP BY
 * whose aggregates are all vantorelle_sketch (and its fused estimate), plain
 * calls without FILTER or DISTINCT. Spark runs it on every physical plan
 * before it chooses row or columnar execution (a ColumnarRule is its one
 * hook there); everything else is left as Spark planned it.
 */
final class SketchPlanning extends ColumnarRule {
  private static final Rule<SparkPlan> RULE = new Rule<>() {
    @Override
    public SparkPlan apply(SparkPlan plan) {
      SparkPlan below = plan.mapChildren(new AbstractFunction1<SparkPlan, SparkPlan>() {
        @Override
        public SparkPlan apply(SparkPlan child) {
          return RULE.apply(child);
        }
      });
      if (below instanceof ObjectHashAggregateExec aggregate && replaceable(aggregate)) {
        return SketchPartialAggregateExec.of(aggregate);
      }
      return below;
    }
  };

  @Override
  public Rule<SparkPlan> preColumnarTransitions() {
    return RULE;
  }

  static boolean replaceable(ObjectHashAggregateExec aggregate) {
    if (aggregate.isStreaming()) return false;
    // A global aggregate writes a row even without input: left to Spark.
    if (aggregate.groupingExpressions().isEmpty()) return false;
    List<AggregateExpression> calls = CollectionConverters.asJava(aggregate.aggregateExpressions());
    if (calls.isEmpty()) return false;
    for (AggregateExpression call : calls) {
      if (call.mode() != Partial$.MODULE$ || call.isDistinct() || call.filter().isDefined()
          || !(call.aggregateFunction() instanceof SketchAggregate)) {
        return false;
      }
    }
    // The output is the keys, then one buffer per call.
    return aggregate.output().size() == aggregate.groupingExpressions().size() + calls.size();
  }
}
