package org.vantorelle.spark;

import com.esotericsoftware.kryo.Kryo;
import com.esotericsoftware.kryo.KryoSerializable;
import com.esotericsoftware.kryo.io.Input;
import com.esotericsoftware.kryo.io.Output;
import java.util.Arrays;

/**
 * The aggregation buffer of one group: its sketch so far, serialised (null
 * until a value arrived), and the values that arrived since, handed to the
 * native code a batch at a time. It holds no native memory, so a buffer that
 * Spark drops (a finished or a failed task) leaves nothing to free.
 *
 * <p>Kinds: the value types of NativeSketches (LONG, STRING, BYTES) for
 * vantorelle_sketch, MERGE for vantorelle_merge (pending stored sketches).
 * Only the sketch travels when Spark spills or shuffles a buffer.
 */
public final class SketchBuffer implements KryoSerializable {
  public static final int MERGE = -1;

  // Pending values before a flush: enough to make a native call cheap per
  // value, few enough to keep many groups' buffers small.
  private static final int BATCH_VALUES = 4096;
  private static final int BATCH_BYTES = 1 << 20;
  private static final int FIRST_CAPACITY = 8;

  private int kind;
  private int normalPrecision;
  private int sparsePrecision;
  private byte[] sketch;
  // The group's key as text, where the aggregate was given it (MergeGroups).
  String group;

  private int count;
  private long[] longs;
  private byte[] data;
  private int used;
  private int[] ends;
  private byte[][] stored;

  /** For Kryo. */
  public SketchBuffer() {}

  SketchBuffer(int kind, int normalPrecision, int sparsePrecision) {
    this.kind = kind;
    this.normalPrecision = normalPrecision;
    this.sparsePrecision = sparsePrecision;
  }

  void addLong(long value) {
    if (longs == null || count == longs.length) {
      longs = Arrays.copyOf(longs == null ? new long[0] : longs, grown(count));
    }
    longs[count++] = value;
    if (count == BATCH_VALUES) flush();
  }

  void addBytes(byte[] value) {
    if (ends == null || count == ends.length) {
      ends = Arrays.copyOf(ends == null ? new int[0] : ends, grown(count));
    }
    if (data == null || used + value.length > data.length) {
      int capacity = Math.max(used + value.length, data == null ? 64 : 2 * data.length);
      data = Arrays.copyOf(data == null ? new byte[0] : data, capacity);
    }
    System.arraycopy(value, 0, data, used, value.length);
    used += value.length;
    ends[count++] = used;
    if (count == BATCH_VALUES || used >= BATCH_BYTES) flush();
  }

  void addStored(byte[] value) {
    if (stored == null || count == stored.length) {
      stored = Arrays.copyOf(stored == null ? new byte[0][] : stored, grown(count));
    }
    stored[count++] = value;
    used += value.length;
    if (count == BATCH_VALUES / 16 || used >= BATCH_BYTES) flush();
  }

  private static int grown(int size) {
    return Math.min(BATCH_VALUES, Math.max(FIRST_CAPACITY, 2 * size));
  }

  /** Hands the pending values to the native code. */
  void flush() {
    if (count == 0) return;
    if (kind == NativeSketches.LONG) {
      sketch = NativeSketches.addLongs(sketch, normalPrecision, sparsePrecision, longs, count);
    } else if (kind == MERGE) {
      sketch = NativeSketches.mergeStored(sketch, stored, count);
      Arrays.fill(stored, 0, count, null);
    } else {
      sketch = NativeSketches.addBytes(
          sketch, kind, normalPrecision, sparsePrecision, data, ends, count);
    }
    count = 0;
    used = 0;
  }

  /** Takes `other`'s pending values and sketch in; `other` is not used again. */
  void merge(SketchBuffer other) {
    int start = 0;
    for (int i = 0; i < other.count; ++i) {
      if (kind == NativeSketches.LONG) {
        addLong(other.longs[i]);
      } else if (kind == MERGE) {
        addStored(other.stored[i]);
      } else {
        addBytes(Arrays.copyOfRange(other.data, start, other.ends[i]));
        start = other.ends[i];
      }
    }
    if (group == null) group = other.group;
    if (other.sketch == null) return;
    if (sketch == null) {
      sketch = other.sketch;
    } else {
      sketch = NativeSketches.mergeStored(sketch, new byte[][] {other.sketch}, 1);
    }
  }

  /** vantorelle_sketch's result: the empty sketch for a group without values. */
  byte[] sketchResult() {
    flush();
    return sketch != null ? sketch : NativeSketches.emptySketch(kind, normalPrecision, sparsePrecision);
  }

  /** vantorelle_merge's result: null when no sketch was merged. */
  byte[] mergeResult() {
    flush();
    return sketch;
  }

  // Spark writes a buffer when it spills or shuffles it: the sketch and the
  // pending values as they are (a group's few values cost less to carry than
  // a native call), so failures surface in reduce, merge or finish, where
  // the aggregator names its column.
  @Override
  public void write(Kryo kryo, Output output) {
    output.writeInt(kind);
    output.writeInt(normalPrecision);
    output.writeInt(sparsePrecision);
    writeArray(output, sketch);
    output.writeString(group);
    output.writeInt(count);
    if (kind == NativeSketches.LONG) {
      for (int i = 0; i < count; ++i) output.writeLong(longs[i]);
    } else if (kind == MERGE) {
      for (int i = 0; i < count; ++i) writeArray(output, stored[i]);
    } else {
      for (int i = 0; i < count; ++i) output.writeInt(ends[i]);
      output.writeInt(used);
      if (used > 0) output.writeBytes(data, 0, used);
    }
  }

  @Override
  public void read(Kryo kryo, Input input) {
    kind = input.readInt();
    normalPrecision = input.readInt();
    sparsePrecision = input.readInt();
    sketch = readArray(input);
    group = input.readString();
    count = input.readInt();
    if (kind == NativeSketches.LONG) {
      longs = input.readLongs(count);
    } else if (kind == MERGE) {
      stored = new byte[count][];
      for (int i = 0; i < count; ++i) stored[i] = readArray(input);
    } else {
      ends = input.readInts(count);
      used = input.readInt();
      data = input.readBytes(used);
    }
  }

  private static void writeArray(Output output, byte[] array) {
    output.writeInt(array == null ? -1 : array.length);
    if (array != null) output.writeBytes(array);
  }

  private static byte[] readArray(Input input) {
    int length = input.readInt();
    return length < 0 ? null : input.readBytes(length);
  }
}
