package org.vantorelle.spark;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.GenericInternalRow;
import org.apache.spark.sql.catalyst.expressions.JoinedRow;
import org.apache.spark.sql.catalyst.expressions.UnsafeProjection;
import org.apache.spark.sql.catalyst.expressions.UnsafeRow;
import org.apache.spark.sql.execution.metric.SQLMetric;
import scala.collection.AbstractIterator;
import scala.collection.Iterator;

/**
 * The partial aggregation of one partition: its rows' values added to one
 * SketchBuffer per group and aggregate, then one output row per group (the
 * keys, then each aggregate's serialised buffer), as Spark's partial
 * aggregate writes them. When the buffers outgrow their budget, the groups
 * so far are written out and the table starts again: the final aggregation
 * merges the partial rows of a key whatever their number, so memory stays
 * bounded without a sort.
 */
final class PartialSketchIterator extends AbstractIterator<InternalRow> {
  /** How a row's group is found. */
  interface Keys {
    /** The group number of `row`, given one if new. */
    int numberOf(InternalRow row);

    /** The key columns of group `number`. */
    InternalRow keyRow(int number);

    void clear();
  }

  // What a group costs beyond its buffers' arrays: the buffer objects, its
  // key and its place in the table.
  private static final long GROUP_BYTES = 128;

  private final Iterator<InternalRow> input;
  private final Keys keys;
  private final SketchAggregate[] aggregates;
  // The aggregates' inputs as one row, where one is not a plain column.
  private final UnsafeProjection inputs;
  private final UnsafeProjection output;
  private final long budget;
  private final SQLMetric outputRows;

  private SketchBuffer[] buffers = new SketchBuffer[64];
  private long held;
  private int emitted;
  private int groups;
  private final JoinedRow joined = new JoinedRow();
  private final GenericInternalRow sketches;

  PartialSketchIterator(Iterator<InternalRow> input, Keys keys, SketchAggregate[] aggregates,
      UnsafeProjection inputs, UnsafeProjection output, long budget, SQLMetric outputRows) {
    this.input = input;
    this.keys = keys;
    this.aggregates = aggregates;
    this.inputs = inputs;
    this.output = output;
    this.budget = budget;
    this.outputRows = outputRows;
    this.sketches = new GenericInternalRow(aggregates.length);
  }

  @Override
  public boolean hasNext() {
    if (emitted < groups) return true;
    if (groups > 0) restart();
    if (!input.hasNext()) return false;
    aggregate();
    return emitted < groups;
  }

  @Override
  public InternalRow next() {
    if (!hasNext()) throw new java.util.NoSuchElementException();
    int number = emitted++;
    int count = aggregates.length;
    for (int j = 0; j < count; ++j) {
      SketchBuffer buffer = buffers[number * count + j];
      sketches.update(j, aggregates[j].serialize(buffer));
      buffers[number * count + j] = null;  // written out: no longer held
    }
    outputRows.add(1);
    return output.apply(joined.apply(keys.keyRow(number), sketches));
  }

  // Reads rows until the input ends or the buffers reach the budget.
  private void aggregate() {
    final int count = aggregates.length;
    while (input.hasNext()) {
      InternalRow row = input.next();
      int number = keys.numberOf(row);
      if (number == groups) newGroup();
      InternalRow values = inputs == null ? row : inputs.apply(row);
      int base = number * count;
      for (int j = 0; j < count; ++j) {
        SketchBuffer buffer = buffers[base + j];
        long before = buffer.footprint();
        aggregates[j].update(buffer, values);
        held += buffer.footprint() - before;
      }
      if (held > budget) break;
    }
    emitted = 0;
  }

  private void newGroup() {
    int count = aggregates.length;
    if ((groups + 1) * count > buffers.length) {
      buffers = Arrays.copyOf(buffers, 2 * Math.max(buffers.length, count));
    }
    for (int j = 0; j < count; ++j) {
      SketchBuffer buffer = aggregates[j].createAggregationBuffer();
      buffers[groups * count + j] = buffer;
      held += buffer.footprint();
    }
    held += GROUP_BYTES;
    ++groups;
  }

  private void restart() {
    keys.clear();
    groups = 0;
    emitted = 0;
    held = 0;
  }

  /** A single BIGINT, INT, DATE or TIMESTAMP key, read without a projection. */
  static final class IntegerKey implements Keys {
    private final int ordinal;
    private final boolean narrow;  // an INT or DATE column
    private final LongGroupTable table = new LongGroupTable();
    private final GenericInternalRow row = new GenericInternalRow(1);

    IntegerKey(int ordinal, boolean narrow) {
      this.ordinal = ordinal;
      this.narrow = narrow;
    }

    int ordinal() {
      return ordinal;
    }

    boolean narrow() {
      return narrow;
    }

    @Override
    public int numberOf(InternalRow input) {
      if (input.isNullAt(ordinal)) return table.numberOfNull();
      return table.numberOf(narrow ? input.getInt(ordinal) : input.getLong(ordinal));
    }

    @Override
    public InternalRow keyRow(int number) {
      long key = table.keyOf(number);
      row.update(0, table.isNull(number) ? null : narrow ? (Object) (int) key : (Object) key);
      return row;
    }

    @Override
    public void clear() {
      table.clear();
    }
  }

  /** Any other keys: their UnsafeRow, as Spark's own aggregates key groups. */
  static final class ProjectedKeys implements Keys {
    private final UnsafeProjection projection;
    private final Map<UnsafeRow, Integer> numbers = new HashMap<>();
    private final List<UnsafeRow> keyRows = new ArrayList<>();

    ProjectedKeys(UnsafeProjection projection) {
      this.projection = projection;
    }

    @Override
    public int numberOf(InternalRow input) {
      UnsafeRow key = projection.apply(input);
      Integer number = numbers.get(key);
      if (number != null) return number;
      UnsafeRow kept = key.copy();
      numbers.put(kept, keyRows.size());
      keyRows.add(kept);
      return keyRows.size() - 1;
    }

    @Override
    public InternalRow keyRow(int number) {
      return keyRows.get(number);
    }

    @Override
    public void clear() {
      numbers.clear();
      keyRows.clear();
    }
  }
}
