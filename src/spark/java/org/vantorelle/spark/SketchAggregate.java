package org.vantorelle.spark;

import java.util.List;
import java.util.Objects;
import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.BoundReference;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.aggregate.ImperativeAggregate;
import org.apache.spark.sql.catalyst.expressions.aggregate.TypedImperativeAggregate;
import org.apache.spark.sql.types.DataType;
import org.apache.spark.sql.types.DataTypes;
import org.apache.spark.sql.types.LongType;
import org.apache.spark.unsafe.types.UTF8String;
import scala.collection.immutable.IndexedSeq;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;

/**
 * vantorelle_sketch as an aggregate expression of Spark's own kind: it reads
 * its value straight from the input row (no encoder, no boxing for a BIGINT
 * column), and its buffer travels as SketchBuffer's compact bytes rather than
 * through Kryo. Spark's object hash aggregate runs it, as it runs its own
 * sketches.
 *
 * <p>The value arrives as BIGINT (integers and booleans, cast by the
 * builder), STRING (counted by its UTF-8 bytes) or BINARY. Java has no case
 * classes: the Product members and equals/hashCode below are what Catalyst
 * reads from one (to copy, compare and print the expression).
 */
public final class SketchAggregate extends TypedImperativeAggregate<SketchBuffer>
    implements java.io.Serializable {
  private static final long serialVersionUID = 1L;

  private final Expression child;
  private final int kind;
  private final int normalPrecision;
  private final int sparsePrecision;
  private final String where;
  // vantorelle_estimate(vantorelle_sketch(...)) in one: the group's estimate
  // (see FunctionBuilders.estimate).
  private final boolean estimates;
  private final int mutableAggBufferOffset;
  private final int inputAggBufferOffset;

  public SketchAggregate(Expression child, int kind, int normalPrecision, int sparsePrecision,
      String where, boolean estimates, int mutableAggBufferOffset, int inputAggBufferOffset) {
    this.child = child;
    this.kind = kind;
    this.normalPrecision = normalPrecision;
    this.sparsePrecision = sparsePrecision;
    this.where = where;
    this.estimates = estimates;
    this.mutableAggBufferOffset = mutableAggBufferOffset;
    this.inputAggBufferOffset = inputAggBufferOffset;
  }

  SketchAggregate(Expression child, int kind, int normalPrecision, int sparsePrecision,
      String where) {
    this(child, kind, normalPrecision, sparsePrecision, where, false, 0, 0);
  }

  int kind() {
    return kind;
  }

  int normalPrecision() {
    return normalPrecision;
  }

  int sparsePrecision() {
    return sparsePrecision;
  }

  boolean estimates() {
    return estimates;
  }

  /** The same aggregate giving the estimate of its sketch. */
  SketchAggregate estimating() {
    return new SketchAggregate(child, kind, normalPrecision, sparsePrecision, where, true,
        mutableAggBufferOffset, inputAggBufferOffset);
  }

  /** The same aggregate reading its value from `input` (a bound column). */
  SketchAggregate reading(Expression input) {
    return new SketchAggregate(input, kind, normalPrecision, sparsePrecision, where, estimates,
        mutableAggBufferOffset, inputAggBufferOffset);
  }

  @Override
  public SketchBuffer createAggregationBuffer() {
    return new SketchBuffer(kind, normalPrecision, sparsePrecision);
  }

  @Override
  public SketchBuffer update(SketchBuffer buffer, InternalRow input) {
    try {
      if (kind == NativeSketches.LONG && child instanceof BoundReference column
          && column.dataType() instanceof LongType) {
        // The common case, a BIGINT column: read without boxing.
        int ordinal = column.ordinal();
        if (!input.isNullAt(ordinal)) buffer.addLong(input.getLong(ordinal));
        return buffer;
      }
      Object value = child.eval(input);
      if (value == null) return buffer;  // aggregates skip nulls
      if (kind == NativeSketches.LONG) {
        buffer.addLong((Long) value);
      } else if (value instanceof UTF8String text) {
        buffer.addText(text);
      } else {
        buffer.addBytes((byte[]) value);
      }
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
  public Object eval(SketchBuffer buffer) {
    try {
      return estimates ? (Object) buffer.estimateResult() : buffer.sketchResult();
    } catch (SketchException error) {
      throw error.within(where);
    }
  }

  @Override
  public byte[] serialize(SketchBuffer buffer) {
    return buffer.toBytes();
  }

  @Override
  public SketchBuffer deserialize(byte[] bytes) {
    return SketchBuffer.fromBytes(kind, normalPrecision, sparsePrecision, bytes);
  }

  @Override
  public int mutableAggBufferOffset() {
    return mutableAggBufferOffset;
  }

  @Override
  public int inputAggBufferOffset() {
    return inputAggBufferOffset;
  }

  @Override
  public ImperativeAggregate withNewMutableAggBufferOffset(int offset) {
    return new SketchAggregate(child, kind, normalPrecision, sparsePrecision, where, estimates,
        offset, inputAggBufferOffset);
  }

  @Override
  public ImperativeAggregate withNewInputAggBufferOffset(int offset) {
    return new SketchAggregate(child, kind, normalPrecision, sparsePrecision, where, estimates,
        mutableAggBufferOffset, offset);
  }

  @Override
  public DataType dataType() {
    return estimates ? DataTypes.LongType : DataTypes.BinaryType;
  }

  // A group without values gives the empty sketch (its estimate 0).
  @Override
  public boolean nullable() {
    return false;
  }

  @Override
  public Seq<Expression> children() {
    return CollectionConverters.asScala(List.of(child)).toList();
  }

  @Override
  public Expression withNewChildrenInternal(IndexedSeq<Expression> newChildren) {
    return new SketchAggregate(newChildren.apply(0), kind, normalPrecision, sparsePrecision, where,
        estimates, mutableAggBufferOffset, inputAggBufferOffset);
  }

  @Override
  public String prettyName() {
    return "vantorelle_sketch";
  }

  // Named as written, vantorelle_estimate(vantorelle_sketch(...)), in column
  // names and plans.
  @Override
  public String sql(boolean isDistinct) {
    String sketch = super.sql(isDistinct);
    return estimates ? "vantorelle_estimate(" + sketch + ")" : sketch;
  }

  @Override
  public String toAggString(boolean isDistinct) {
    String sketch = super.toAggString(isDistinct);
    return estimates ? "vantorelle_estimate(" + sketch + ")" : sketch;
  }

  // Plans show the value column only.
  @Override
  public scala.collection.Iterator<Object> stringArgs() {
    return CollectionConverters.asScala(List.<Object>of(child).iterator());
  }

  @Override
  public int productArity() {
    return 8;
  }

  @Override
  public Object productElement(int n) {
    return switch (n) {
      case 0 -> child;
      case 1 -> kind;
      case 2 -> normalPrecision;
      case 3 -> sparsePrecision;
      case 4 -> where;
      case 5 -> estimates;
      case 6 -> mutableAggBufferOffset;
      case 7 -> inputAggBufferOffset;
      default -> throw new IndexOutOfBoundsException(n);
    };
  }

  @Override
  public boolean canEqual(Object other) {
    return other instanceof SketchAggregate;
  }

  @Override
  public boolean equals(Object other) {
    return other instanceof SketchAggregate that && child.equals(that.child) && kind == that.kind
        && normalPrecision == that.normalPrecision && sparsePrecision == that.sparsePrecision
        && where.equals(that.where) && estimates == that.estimates
        && mutableAggBufferOffset == that.mutableAggBufferOffset
        && inputAggBufferOffset == that.inputAggBufferOffset;
  }

  @Override
  public int hashCode() {
    return Objects.hash(child, kind, normalPrecision, sparsePrecision, where, estimates,
        mutableAggBufferOffset, inputAggBufferOffset);
  }
}
