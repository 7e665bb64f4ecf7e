package org.vantorelle.spark;

import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.GenericInternalRow;
import org.apache.spark.unsafe.types.UTF8String;

/**
 * The scalar functions as Spark's generated code calls them (a null sketch
 * arrives as null), each given the columns of its sketch arguments as the
 * query names them; a failure names the function and, for a corrupt sketch,
 * its column.
 */
public final class Scalars {
  private Scalars() {}

  public static long estimate(byte[] sketch, UTF8String column) {
    try {
      return NativeSketches.estimate(sketch);
    } catch (SketchException error) {
      throw within(error, "vantorelle_estimate", column);
    }
  }

  /** The struct {lower, upper}. */
  public static InternalRow bounds(byte[] sketch, double confidence, UTF8String column) {
    try {
      long[] ends = NativeSketches.bounds(sketch, confidence);
      return new GenericInternalRow(new Object[] {ends[0], ends[1]});
    } catch (SketchException error) {
      throw within(error, "vantorelle_bounds", column);
    }
  }

  public static long union(byte[] a, byte[] b, UTF8String first, UTF8String second) {
    try {
      return NativeSketches.union(a, b);
    } catch (SketchException error) {
      throw within(error, "vantorelle_union", first, second);
    }
  }

  public static long intersection(byte[] a, byte[] b, UTF8String first, UTF8String second) {
    try {
      return NativeSketches.intersection(a, b);
    } catch (SketchException error) {
      throw within(error, "vantorelle_intersection", first, second);
    }
  }

  public static double jaccard(byte[] a, byte[] b, UTF8String first, UTF8String second) {
    try {
      return NativeSketches.jaccard(a, b);
    } catch (SketchException error) {
      throw within(error, "vantorelle_jaccard", first, second);
    }
  }

  // "vantorelle_union, column b: ..." for a corrupt second sketch,
  // "vantorelle_union: ..." for sketches that do not combine.
  private static SketchException within(SketchException error, String function,
      UTF8String... columns) {
    if (error instanceof CorruptSketchException corrupt && corrupt.argument >= 0
        && corrupt.argument < columns.length) {
      return error.within(function + ", column " + columns[corrupt.argument]);
    }
    return error.within(function);
  }
}
