package org.vantorelle.spark;

import java.util.Arrays;
import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.GenericInternalRow;
import org.apache.spark.sql.catalyst.expressions.UnsafeProjection;
import org.apache.spark.sql.execution.metric.SQLMetric;
import scala.collection.AbstractIterator;
import scala.collection.Iterator;

/**
 * The partial aggregation of the commonest GROUP BY, one integer key and
 * vantorelle_sketch of one BIGINT column, without a table of groups: a
 * chunk of rows is read into two arrays (keys, values), sorted by key with
 * a stable radix sort over the keys' range, and each run of one key becomes
 * one output row. A long run is sketched in one native call; a short one
 * travels as its values, as SketchBuffer writes pending values, and is
 * sketched in the final step. Sequential passes over flat arrays cost far
 * less per row than a lookup in a table of many groups; the sort keeps each
 * key's values in row order.
 */
final class SortedPartialIterator extends AbstractIterator<InternalRow> {
  // The widest digit of a pass: 2048 counts fit in the first-level cache.
  private static final int MAX_DIGIT_BITS = 11;

  private final Iterator<InternalRow> input;
  private final int keyOrdinal;
  private final boolean narrow;  // an INT or DATE key
  private final int valueOrdinal;
  private final SketchAggregate aggregate;
  private final UnsafeProjection output;
  private final SQLMetric outputRows;
  private final int chunkRows;

  private long[] keys = new long[1024];
  private long[] values = new long[1024];
  // 1 where the value is null (the row names its group, adds nothing);
  // null while the chunk has no null value.
  private byte[] missing;
  private int size;
  private long least;  // the chunk's smallest and largest keys
  private long most;
  // The sort's other half, kept from chunk to chunk.
  private long[] keysOut = new long[0];
  private long[] valuesOut = new long[0];
  private long[] nullKeyValues = new long[16];
  private int nullKeyCount = -1;  // -1: no row with a null key in this chunk

  private int position;  // the next run to write out
  private final GenericInternalRow row = new GenericInternalRow(2);

  SortedPartialIterator(Iterator<InternalRow> input, int keyOrdinal, boolean narrow,
      int valueOrdinal, SketchAggregate aggregate, UnsafeProjection output, long budget,
      SQLMetric outputRows) {
    this.input = input;
    this.keyOrdinal = keyOrdinal;
    this.narrow = narrow;
    this.valueOrdinal = valueOrdinal;
    this.aggregate = aggregate;
    this.output = output;
    this.outputRows = outputRows;
    // Keys, values and their sorted copies: 32 bytes a row.
    this.chunkRows = (int) Math.max(1024, Math.min(budget / 32, 1 << 22));
  }

  @Override
  public boolean hasNext() {
    if (position < size || nullKeyCount >= 0) return true;
    if (!input.hasNext()) return false;
    read();
    sort();
    return true;
  }

  @Override
  public InternalRow next() {
    if (!hasNext()) throw new java.util.NoSuchElementException();
    byte[] buffer;
    if (position < size) {
      long key = keys[position];
      int end = position + 1;
      while (end < size && keys[end] == key) ++end;
      buffer = runBuffer(position, end);
      position = end;
      row.update(0, narrow ? (Object) (int) key : (Object) key);
    } else {
      buffer = SketchBuffer.ofLongs(aggregate.normalPrecision(), aggregate.sparsePrecision(),
          nullKeyValues, 0, nullKeyCount);
      nullKeyCount = -1;
      row.update(0, null);
    }
    row.update(1, buffer);
    outputRows.add(1);
    return output.apply(row);
  }

  // The buffer of the run [from, to), its null values left out.
  private byte[] runBuffer(int from, int to) {
    if (missing != null) {
      int kept = from;
      for (int i = from; i < to; ++i) {
        if (missing[i] == 0) values[kept++] = values[i];
      }
      to = kept;
    }
    return SketchBuffer.ofLongs(aggregate.normalPrecision(), aggregate.sparsePrecision(), values,
        from, to);
  }

  private void read() {
    size = 0;
    position = 0;
    missing = null;
    least = Long.MAX_VALUE;
    most = Long.MIN_VALUE;
    while (size + Math.max(nullKeyCount, 0) < chunkRows && input.hasNext()) {
      InternalRow next = input.next();
      boolean absent = next.isNullAt(valueOrdinal);
      long value = absent ? 0 : next.getLong(valueOrdinal);
      if (next.isNullAt(keyOrdinal)) {
        if (nullKeyCount < 0) nullKeyCount = 0;
        if (absent) continue;
        if (nullKeyCount == nullKeyValues.length) {
          nullKeyValues = Arrays.copyOf(nullKeyValues, 2 * nullKeyCount);
        }
        nullKeyValues[nullKeyCount++] = value;
        continue;
      }
      if (size == keys.length) grow();
      long key = narrow ? next.getInt(keyOrdinal) : next.getLong(keyOrdinal);
      keys[size] = key;
      least = Math.min(least, key);
      most = Math.max(most, key);
      values[size] = value;
      if (absent) {
        if (missing == null) missing = new byte[keys.length];
        missing[size] = 1;
      }
      ++size;
    }
  }

  private void grow() {
    int capacity = (int) Math.min(2L * keys.length, chunkRows);
    keys = Arrays.copyOf(keys, capacity);
    values = Arrays.copyOf(values, capacity);
    if (missing != null) missing = Arrays.copyOf(missing, capacity);
  }

  // Least significant digit first, each pass stable, over the bits in
  // which the chunk's keys differ from their minimum.
  private void sort() {
    if (size < 2) return;
    int bits = 64 - Long.numberOfLeadingZeros(most - least);
    if (bits == 0) return;  // one key
    // Passes of equal digits: fewer buckets a pass keep the scattered
    // writes of each pass within the caches.
    int passes = (bits + MAX_DIGIT_BITS - 1) / MAX_DIGIT_BITS;
    int digitBits = (bits + passes - 1) / passes;
    int mask = (1 << digitBits) - 1;
    if (keysOut.length < keys.length) {
      keysOut = new long[keys.length];
      valuesOut = new long[keys.length];
    }
    byte[] missingOut = missing == null ? null : new byte[size];
    int[] counts = new int[1 << digitBits];
    for (int shift = 0; shift < bits; shift += digitBits) {
      Arrays.fill(counts, 0);
      for (int i = 0; i < size; ++i) ++counts[(int) ((keys[i] - least) >>> shift) & mask];
      int sum = 0;
      for (int d = 0; d < counts.length; ++d) {
        int count = counts[d];
        counts[d] = sum;
        sum += count;
      }
      for (int i = 0; i < size; ++i) {
        int to = counts[(int) ((keys[i] - least) >>> shift) & mask]++;
        keysOut[to] = keys[i];
        valuesOut[to] = values[i];
        if (missingOut != null) missingOut[to] = missing[i];
      }
      long[] swapKeys = keys;
      keys = keysOut;
      keysOut = swapKeys;
      long[] swapValues = values;
      values = valuesOut;
      valuesOut = swapValues;
      if (missingOut != null) {
        byte[] swapMissing = missing;
        missing = missingOut;
        missingOut = swapMissing;
      }
    }
  }
}
