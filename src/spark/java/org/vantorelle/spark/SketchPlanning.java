package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.List;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.NamedExpression;
import org.apache.spark.sql.catalyst.expressions.aggregate.AggregateExpression;
import org.apache.spark.sql.catalyst.expressions.aggregate.Partial$;
import org.apache.spark.sql.catalyst.planning.PhysicalAggregation$;
import org.apache.spark.sql.catalyst.plans.logical.Aggregate;
import org.apache.spark.sql.catalyst.plans.logical.LogicalPlan;
import org.apache.spark.sql.execution.SparkPlan;
import org.apache.spark.sql.execution.SparkStrategy;
import org.apache.spark.sql.execution.aggregate.AggUtils;
import org.apache.spark.sql.execution.aggregate.ObjectHashAggregateExec;
import org.apache.spark.sql.types.AtomicType;
import org.apache.spark.sql.types.DataType;
import org.apache.spark.sql.types.DoubleType;
import org.apache.spark.sql.types.FloatType;
import scala.Option;
import scala.Tuple4;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;
import scala.runtime.AbstractFunction1;

/**
 * Plans a GROUP BY whose aggregates are all vantorelle_sketch (and its fused
 * estimate), plain calls without FILTER or DISTINCT, as Spark plans it, with
 * SketchPartialAggregateExec in place of the partial step. Anything else
 * (no keys, floating-point keys, which Spark normalises first, other
 * aggregates beside) is left to Spark's own planning.
 */
final class SketchPlanning extends SparkStrategy {
  private static final long serialVersionUID = 1L;

  @Override
  public Seq<SparkPlan> apply(LogicalPlan plan) {
    if (!(plan instanceof Aggregate) || plan.isStreaming()) return none();
    Option<Tuple4<Seq<NamedExpression>, Seq<AggregateExpression>, Seq<NamedExpression>, LogicalPlan>>
        parts = PhysicalAggregation$.MODULE$.unapply(plan);
    if (parts.isEmpty()) return none();
    Seq<NamedExpression> grouping = parts.get()._1();
    Seq<AggregateExpression> calls = parts.get()._2();
    // A global aggregate writes a row even without input: left to Spark.
    if (grouping.isEmpty() || calls.isEmpty()) return none();
    for (NamedExpression key : CollectionConverters.asJava(grouping)) {
      DataType type = ((Expression) key).dataType();
      if (!(type instanceof AtomicType) || type instanceof FloatType || type instanceof DoubleType) {
        return none();
      }
    }
    for (AggregateExpression call : CollectionConverters.asJava(calls)) {
      if (call.isDistinct() || call.filter().isDefined()
          || !(call.aggregateFunction() instanceof SketchAggregate)) {
        return none();
      }
    }
    Seq<SparkPlan> planned = AggUtils.planAggregateWithoutDistinct(
        grouping, calls, parts.get()._3(), planLater(parts.get()._4()));
    List<SparkPlan> replaced = new ArrayList<>();
    for (SparkPlan step : CollectionConverters.asJava(planned)) replaced.add(withPartialStep(step));
    return CollectionConverters.asScala(replaced).toList();
  }

  private static Seq<SparkPlan> none() {
    return CollectionConverters.asScala(List.<SparkPlan>of()).toList();
  }

  private static SparkPlan withPartialStep(SparkPlan plan) {
    SparkPlan below = plan.mapChildren(new AbstractFunction1<SparkPlan, SparkPlan>() {
      @Override
      public SparkPlan apply(SparkPlan child) {
        return withPartialStep(child);
      }
    });
    if (below instanceof ObjectHashAggregateExec aggregate && isPartial(aggregate)) {
      return SketchPartialAggregateExec.of(aggregate);
    }
    return below;
  }

  private static boolean isPartial(ObjectHashAggregateExec aggregate) {
    List<AggregateExpression> calls = CollectionConverters.asJava(aggregate.aggregateExpressions());
    for (AggregateExpression call : calls) {
      if (call.mode() != Partial$.MODULE$) return false;
    }
    // The output is the keys, then one buffer per call.
    return aggregate.output().size() == aggregate.groupingExpressions().size() + calls.size();
  }
}
