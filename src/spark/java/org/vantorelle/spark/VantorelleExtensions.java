package org.vantorelle.spark;

import org.apache.spark.sql.SparkSession;
import org.apache.spark.sql.SparkSessionExtensions;
import org.apache.spark.sql.catalyst.plans.logical.LogicalPlan;
import org.apache.spark.sql.catalyst.rules.Rule;
import org.apache.spark.sql.execution.SparkStrategy;
import scala.Tuple3;
import scala.runtime.AbstractFunction1;
import scala.runtime.BoxedUnit;

/**
 * spark.sql.extensions=org.vantorelle.spark.VantorelleExtensions: the SQL
 * functions in every session built with it (Spark Connect servers too).
 */
public final class VantorelleExtensions extends AbstractFunction1<SparkSessionExtensions, BoxedUnit> {
  @Override
  public BoxedUnit apply(SparkSessionExtensions extensions) {
    for (FunctionTable.Entry entry : FunctionTable.ENTRIES) {
      extensions.injectFunction(new Tuple3<>(entry.identifier(), entry.info(), entry.builder()));
    }
    extensions.injectPostHocResolutionRule(new AbstractFunction1<SparkSession, Rule<LogicalPlan>>() {
      @Override
      public Rule<LogicalPlan> apply(SparkSession session) {
        return new MergeGroups();
      }
    });
    extensions.injectPlannerStrategy(new AbstractFunction1<SparkSession, SparkStrategy>() {
      @Override
      public SparkStrategy apply(SparkSession session) {
        return new SketchPlanning();
      }
    });
    return BoxedUnit.UNIT;
  }
}
