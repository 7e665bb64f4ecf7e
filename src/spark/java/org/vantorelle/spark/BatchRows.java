package org.vantorelle.spark;

import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.execution.ColumnarToRowExec;
import org.apache.spark.sql.execution.InputAdapter;
import org.apache.spark.sql.execution.SparkPlan;
import org.apache.spark.sql.execution.WholeStageCodegenExec;
import org.apache.spark.sql.vectorized.ColumnarBatch;
import scala.collection.AbstractIterator;
import scala.collection.Iterator;
import scala.runtime.AbstractFunction1;

/**
 * The rows of a columnar scan read where they lie: each row a view of its
 * batch's columns, rather than a copy that Spark's ColumnarToRow writes for
 * every row (which costs more than what the partial aggregate does with it).
 */
final class BatchRows extends AbstractFunction1<Iterator<ColumnarBatch>, Iterator<InternalRow>>
    implements java.io.Serializable {
  private static final long serialVersionUID = 1L;

  /**
   * The columnar plan under `plan` when `plan` is Spark's ColumnarToRow over
   * it (in a code-generated stage or not), else null. It has the same output.
   */
  static SparkPlan columnarSource(SparkPlan plan) {
    if (plan instanceof WholeStageCodegenExec stage) plan = stage.child();
    if (!(plan instanceof ColumnarToRowExec transition)) return null;
    SparkPlan source = transition.child();
    if (source instanceof InputAdapter adapter) source = adapter.child();
    return source.supportsColumnar() ? source : null;
  }

  @Override
  public Iterator<InternalRow> apply(Iterator<ColumnarBatch> batches) {
    return new AbstractIterator<>() {
      private java.util.Iterator<InternalRow> rows = java.util.Collections.emptyIterator();

      @Override
      public boolean hasNext() {
        while (!rows.hasNext()) {
          if (!batches.hasNext()) return false;
          rows = batches.next().rowIterator();
        }
        return true;
      }

      @Override
      public InternalRow next() {
        if (!hasNext()) throw new java.util.NoSuchElementException();
        return rows.next();
      }
    };
  }
}
