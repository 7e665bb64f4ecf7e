package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.List;
import org.apache.spark.sql.ExperimentalMethods;
import org.apache.spark.sql.SparkSession;
import org.apache.spark.sql.catalyst.plans.logical.LogicalPlan;
import org.apache.spark.sql.catalyst.rules.Rule;
import org.apache.spark.sql.execution.SparkStrategy;
import scala.jdk.javaapi.CollectionConverters;
import org.apache.spark.sql.catalyst.FunctionIdentifier;
import org.apache.spark.sql.catalyst.analysis.FunctionRegistry;
import org.apache.spark.sql.connector.catalog.CatalogManager$;
import scala.Option;

/** Registration in a running session, and the debug counter of the leak tests. */
public final class Functions {
  private Functions() {}

  /**
   * Registers the SQL functions in `session` as its temporary functions (a
   * classic session, not a Connect client).
   */
  public static void register(SparkSession session) {
    FunctionRegistry registry =
        ((org.apache.spark.sql.classic.SparkSession) session).sessionState().functionRegistry();
    // Named as createOrReplaceTempFunction names a temporary function, but
    // with the entry's usage text, which DESCRIBE FUNCTION shows.
    String namespace = CatalogManager$.MODULE$.SESSION_NAMESPACE();
    Option<String> catalog = Option.apply(CatalogManager$.MODULE$.SYSTEM_CATALOG_NAME());
    for (FunctionTable.Entry entry : FunctionTable.ENTRIES) {
      registry.registerFunction(new FunctionIdentifier(entry.name(), Option.apply(namespace), catalog),
          entry.info(namespace, "scala_udf"), entry.builder());
    }
    // A running session's analyser is built; its optimiser takes extra rules.
    ExperimentalMethods experimental = session.experimental();
    List<Rule<LogicalPlan>> rules = new ArrayList<>(
        CollectionConverters.asJava(experimental.extraOptimizations()));
    if (rules.stream().noneMatch(rule -> rule instanceof MergeGroups)) {
      rules.add(new MergeGroups());
      experimental.extraOptimizations_$eq(CollectionConverters.asScala(rules).toList());
    }
    // ...and its planner extra strategies.
    List<SparkStrategy> strategies = new ArrayList<>(
        CollectionConverters.asJava(experimental.extraStrategies()));
    if (strategies.stream().noneMatch(strategy -> strategy instanceof SketchPlanning)) {
      strategies.add(new SketchPlanning());
      experimental.extraStrategies_$eq(CollectionConverters.asScala(strategies).toList());
    }
  }

  /** Engine states alive in this JVM: what no path should leave behind. */
  public static long liveStates() {
    return NativeSketches.liveStates();
  }
}
