package org.vantorelle.spark;

import com.esotericsoftware.kryo.Kryo;
import com.esotericsoftware.kryo.KryoSerializable;
import com.esotericsoftware.kryo.io.Input;
import com.esotericsoftware.kryo.io.Output;
import java.nio.ByteBuffer;
import java.util.Arrays;
import org.apache.spark.unsafe.types.UTF8String;

/**
 * The aggregation buffer of one group: its sketch so far, serialised (null
 * until a value arrived), and the values that arrived since, handed to the
 * native code a batch at a time. It holds no native memory, so a buffer that
 * Spark drops (a finished or a failed task) leaves nothing to free.
 *
 * <p>Kinds: the value types of NativeSketches (LONG, STRING, BYTES) for
 * vantorelle_sketch, MERGE for vantorelle_merge (pending stored sketches).
 * When Spark spills or shuffles a buffer, its sketch and its pending values
 * travel as they are (see toBytes and write).
 */
public final class SketchBuffer implements KryoSerializable {
  public static final int MERGE = -1;

  // Pending values before a flush: enough to make a native call cheap per
  // value, few enough to keep many groups' buffers small.
  private static final int BATCH_VALUES = 4096;
  private static final int BATCH_BYTES = 1 << 20;
  private static final int FIRST_CAPACITY = 8;
  private static final int SKETCHED_RUN = 256;

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
    addBytes(value, 0, value.length);
  }

  void addBytes(byte[] source, int offset, int length) {
    reserveBytes(length);
    System.arraycopy(source, offset, data, used, length);
    endValue(length);
  }

  /** A string by its UTF-8 bytes, copied once. */
  void addText(UTF8String value) {
    int length = value.numBytes();
    reserveBytes(length);
    value.writeToMemory(data, org.apache.spark.unsafe.Platform.BYTE_ARRAY_OFFSET + used);
    endValue(length);
  }

  private void reserveBytes(int length) {
    if (ends == null || count == ends.length) {
      ends = Arrays.copyOf(ends == null ? new int[0] : ends, grown(count));
    }
    if (data == null || used + length > data.length) {
      int capacity = Math.max(used + length, data == null ? 64 : 2 * data.length);
      data = Arrays.copyOf(data == null ? new byte[0] : data, capacity);
    }
  }

  private void endValue(int length) {
    used += length;
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

  /**
   * toBytes() of a buffer given values[from, to): a run this long is
   * sketched in one native call; a shorter one costs less to carry as it is
   * and to sketch with the group's other values in the final step.
   */
  static byte[] ofLongs(int normalPrecision, int sparsePrecision, long[] values, int from, int to) {
    SketchBuffer buffer = new SketchBuffer(NativeSketches.LONG, normalPrecision, sparsePrecision);
    long[] run = Arrays.copyOfRange(values, from, to);
    if (run.length >= SKETCHED_RUN) {
      buffer.sketch = NativeSketches.addLongs(null, normalPrecision, sparsePrecision, run, run.length);
    } else {
      buffer.longs = run;
      buffer.count = run.length;
    }
    return buffer.toBytes();
  }

  /** The bytes this buffer's arrays hold (a budget's measure, not exact). */
  long footprint() {
    long bytes = sketch == null ? 0 : sketch.length;
    if (longs != null) bytes += 8L * longs.length;
    if (data != null) bytes += data.length;
    if (ends != null) bytes += 4L * ends.length;
    if (stored != null) bytes += 8L * stored.length + used;
    return bytes;
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
    if (count == 0 && sketch == null && kind != MERGE) {
      // A fresh buffer (the first partial buffer of a group after the
      // shuffle) takes the other's arrays as they are.
      count = other.count;
      used = other.used;
      longs = other.longs;
      data = other.data;
      ends = other.ends;
      sketch = other.sketch;
      if (group == null) group = other.group;
      return;
    }
    int start = 0;
    for (int i = 0; i < other.count; ++i) {
      if (kind == NativeSketches.LONG) {
        addLong(other.longs[i]);
      } else if (kind == MERGE) {
        addStored(other.stored[i]);
      } else {
        addBytes(other.data, start, other.ends[i] - start);
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

  /**
   * vantorelle_estimate(vantorelle_sketch(...)): the estimate of
   * sketchResult(), with the pending values added and estimated in one
   * native call; 0 for a group without values.
   */
  long estimateResult() {
    if (count == 0) return sketch == null ? 0 : NativeSketches.estimate(sketch);
    long estimate = kind == NativeSketches.LONG
        ? NativeSketches.estimateLongs(sketch, normalPrecision, sparsePrecision, longs, count)
        : NativeSketches.estimateBytes(
            sketch, kind, normalPrecision, sparsePrecision, data, ends, count);
    return estimate;
  }

  /** vantorelle_merge's result: null when no sketch was merged. */
  byte[] mergeResult() {
    flush();
    return sketch;
  }

  // The compact form of vantorelle_sketch's buffer, which Spark stores
  // between its partial and final aggregation (and when it spills): the
  // sketch so far and the pending values as they are, without a native call
  // (most groups of a partition have a few values, which cost less to carry
  // than to sketch). The aggregate knows the kind and precisions; the group's
  // text is not carried (only vantorelle_merge has it).
  byte[] toBytes() {
    if (kind == MERGE) throw new IllegalStateException("vantorelle_merge's buffer goes through Kryo");
    int sketchLength = sketch == null ? 0 : sketch.length;
    int valuesLength = count == 0 ? 0 : kind == NativeSketches.LONG ? 8 * count : 4 * count + 4 + used;
    ByteBuffer out = ByteBuffer.allocate(8 + sketchLength + valuesLength);
    out.putInt(sketch == null ? -1 : sketchLength);
    if (sketch != null) out.put(sketch);
    out.putInt(count);
    if (count == 0) return out.array();
    if (kind == NativeSketches.LONG) {
      out.asLongBuffer().put(longs, 0, count);
    } else {
      out.asIntBuffer().put(ends, 0, count);
      out.position(out.position() + 4 * count);
      out.putInt(used);
      out.put(data, 0, used);
    }
    return out.array();
  }

  /** A buffer from toBytes; the bytes were written by this class. */
  static SketchBuffer fromBytes(int kind, int normalPrecision, int sparsePrecision, byte[] bytes) {
    SketchBuffer buffer = new SketchBuffer(kind, normalPrecision, sparsePrecision);
    ByteBuffer in = ByteBuffer.wrap(bytes);
    int sketchLength = in.getInt();
    if (sketchLength >= 0) {
      buffer.sketch = new byte[sketchLength];
      in.get(buffer.sketch);
    }
    int count = in.getInt();
    buffer.count = count;
    if (count == 0) return buffer;
    if (kind == NativeSketches.LONG) {
      buffer.longs = new long[Math.max(count, FIRST_CAPACITY)];
      in.asLongBuffer().get(buffer.longs, 0, count);
    } else {
      buffer.ends = new int[Math.max(count, FIRST_CAPACITY)];
      in.asIntBuffer().get(buffer.ends, 0, count);
      in.position(in.position() + 4 * count);
      buffer.used = in.getInt();
      buffer.data = new byte[Math.max(buffer.used, 64)];
      in.get(buffer.data, 0, buffer.used);
    }
    return buffer;
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
