package org.vantorelle.spark;

import org.apache.spark.sql.Encoder;
import org.apache.spark.sql.Encoders;
import org.apache.spark.sql.expressions.Aggregator;

/**
 * The aggregators behind vantorelle_sketch (integers, text or binary) and
 * vantorelle_merge. Each names its function and column in the failures it
 * passes on; the rules themselves are in the native code.
 */
final class SketchAggregators {
  private SketchAggregators() {}

  abstract static class Base<IN> extends Aggregator<IN, SketchBuffer, byte[]> {
    private static final long serialVersionUID = 1L;
    final int kind;
    final int normalPrecision;
    final int sparsePrecision;
    final String where;

    Base(int kind, int normalPrecision, int sparsePrecision, String where) {
      this.kind = kind;
      this.normalPrecision = normalPrecision;
      this.sparsePrecision = sparsePrecision;
      this.where = where;
    }

    abstract void add(SketchBuffer buffer, IN value);

    abstract byte[] result(SketchBuffer buffer);

    @Override
    public SketchBuffer zero() {
      return new SketchBuffer(kind, normalPrecision, sparsePrecision);
    }

    @Override
    public SketchBuffer reduce(SketchBuffer buffer, IN value) {
      if (value == null) return buffer;  // aggregates skip nulls
      try {
        add(buffer, value);
      } catch (SketchException error) {
        throw error.within(where);
      }
      return buffer;
    }

    @Override
    public SketchBuffer merge(SketchBuffer buffer, SketchBuffer other) {
      try {
        buffer.merge(other);
      } catch (SketchException error) {
        throw error.within(where);
      }
      return buffer;
    }

    @Override
    public byte[] finish(SketchBuffer buffer) {
      try {
        return result(buffer);
      } catch (SketchException error) {
        throw error.within(where);
      }
    }

    @Override
    public Encoder<SketchBuffer> bufferEncoder() {
      return Encoders.kryo(SketchBuffer.class);
    }

    @Override
    public Encoder<byte[]> outputEncoder() {
      return Encoders.BINARY();
    }
  }

  /** vantorelle_sketch over integers and booleans, cast to BIGINT. */
  static final class Longs extends Base<Long> {
    private static final long serialVersionUID = 1L;

    Longs(int normalPrecision, int sparsePrecision, String where) {
      super(NativeSketches.LONG, normalPrecision, sparsePrecision, where);
    }

    @Override
    void add(SketchBuffer buffer, Long value) {
      buffer.addLong(value);
    }

    @Override
    byte[] result(SketchBuffer buffer) {
      return buffer.sketchResult();
    }
  }

  /** vantorelle_sketch over text (its UTF-8 bytes) or binary values. */
  static final class Binary extends Base<byte[]> {
    private static final long serialVersionUID = 1L;

    Binary(int kind, int normalPrecision, int sparsePrecision, String where) {
      super(kind, normalPrecision, sparsePrecision, where);
    }

    @Override
    void add(SketchBuffer buffer, byte[] value) {
      buffer.addBytes(value);
    }

    @Override
    byte[] result(SketchBuffer buffer) {
      return buffer.sketchResult();
    }
  }

  /** vantorelle_merge over stored sketches. */
  static final class Merge extends Base<byte[]> {
    private static final long serialVersionUID = 1L;

    Merge(String where) {
      super(SketchBuffer.MERGE, 0, 0, where);
    }

    @Override
    void add(SketchBuffer buffer, byte[] value) {
      buffer.addStored(value);
    }

    @Override
    byte[] result(SketchBuffer buffer) {
      return buffer.mergeResult();
    }
  }
}
