package org.vantorelle.spark;

import java.util.List;
import java.util.function.Function;
import org.apache.spark.sql.catalyst.FunctionIdentifier;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.ExpressionInfo;
import scala.collection.immutable.Seq;
import scala.runtime.AbstractFunction1;

/** The SQL functions, their usage text and builders: one list for every way in. */
final class FunctionTable {
  private FunctionTable() {}

  record Entry(String name, String usage, Function<Seq<Expression>, Expression> build) {
    FunctionIdentifier identifier() {
      return FunctionIdentifier.apply(name);
    }

    ExpressionInfo info() {
      return info(null, "");
    }

    ExpressionInfo info(String database, String source) {
      return new ExpressionInfo(FunctionBuilders.class.getName(), database, name, usage, "", "", "",
          "", "", "", source);
    }

    scala.Function1<Seq<Expression>, Expression> builder() {
      return new Builder(build);
    }
  }

  private static final class Builder extends AbstractFunction1<Seq<Expression>, Expression>
      implements java.io.Serializable {
    private static final long serialVersionUID = 1L;
    private final transient Function<Seq<Expression>, Expression> build;

    Builder(Function<Seq<Expression>, Expression> build) {
      this.build = build;
    }

    @Override
    public Expression apply(Seq<Expression> children) {
      return build.apply(children);
    }
  }

  static final List<Entry> ENTRIES = List.of(
      new Entry("vantorelle_sketch",
          "_FUNC_(value[, normal_precision[, sparse_precision]]) - the serialised sketch of the "
              + "group's non-NULL values (integers, booleans, strings or binary)",
          FunctionBuilders::sketch),
      new Entry("vantorelle_merge",
          "_FUNC_(sketch) - the group's stored sketches merged; NULL when all are NULL",
          FunctionBuilders::merge),
      new Entry("vantorelle_estimate",
          "_FUNC_(sketch) - the distinct count of a sketch; 0 for NULL", FunctionBuilders::estimate),
      new Entry("vantorelle_bounds",
          "_FUNC_(sketch, confidence) - {lower, upper} bounds of the distinct count",
          FunctionBuilders::bounds),
      new Entry("vantorelle_union",
          "_FUNC_(a, b) - the estimated distinct count of the union", FunctionBuilders::union),
      new Entry("vantorelle_intersection",
          "_FUNC_(a, b) - the estimated distinct count of the intersection",
          FunctionBuilders::intersection),
      new Entry("vantorelle_jaccard",
          "_FUNC_(a, b) - the estimated Jaccard index", FunctionBuilders::jaccard));
}
