package org.vantorelle.spark;

import org.apache.spark.sql.Encoder;
import org.apache.spark.sql.Encoders;
import org.apache.spark.sql.expressions.Aggregator;

/**
 * The typed aggregators behind vantorelle_merge (vantorelle_sketch is
 * SketchAggregate). Each names its function and column in the failures it
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

    // Spark prints the aggregator in plans and in the default names of
    // columns: the same text in every query, not the object's identity.
    @Override
    public String toString() {
      return "vantorelle_merge";
    }

    // The function and column, and the group where the buffer knows it.
    String where(SketchBuffer buffer) {
      return buffer.group == null ? where : where + ", group (" + buffer.group + ")";
    }

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
        throw error.within(where(buffer));
      }
      return buffer;
    }

    @Override
    public SketchBuffer merge(SketchBuffer buffer, SketchBuffer other) {
      try {
        buffer.merge(other);
      } catch (SketchException error) {
        throw error.within(where(buffer.group != null ? buffer : other));
      }
      return buffer;
    }

    @Override
    public byte[] finish(SketchBuffer buffer) {
      try {
        return result(buffer);
      } catch (SketchException error) {
        throw error.within(where(buffer));
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

  /**
   * vantorelle_merge with its group's key beside each stored sketch (see
   * MergeGroups): failures name the group.
   */
  static final class KeyedMerge extends Base<scala.Tuple2<byte[], String>> {
    private static final long serialVersionUID = 1L;

    KeyedMerge(String where) {
      super(SketchBuffer.MERGE, 0, 0, where);
    }

    @Override
    void add(SketchBuffer buffer, scala.Tuple2<byte[], String> value) {
      buffer.group = value._2();
      if (value._1() != null) buffer.addStored(value._1());
    }

    @Override
    byte[] result(SketchBuffer buffer) {
      return buffer.mergeResult();
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
