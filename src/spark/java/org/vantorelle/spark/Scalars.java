package org.vantorelle.spark;

import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.GenericInternalRow;

/**
 * The scalar functions as Spark's generated code calls them (a null sketch
 * arrives as null); each names itself in the failures it passes on.
 */
public final class Scalars {
  private Scalars() {}

  public static long estimate(byte[] sketch) {
    try {
      return NativeSketches.estimate(sketch);
    } catch (SketchException error) {
      throw error.within("vantorelle_estimate");
    }
  }

  /** The struct {lower, upper}. */
  public static InternalRow bounds(byte[] sketch, double confidence) {
    try {
      long[] ends = NativeSketches.bounds(sketch, confidence);
      return new GenericInternalRow(new Object[] {ends[0], ends[1]});
    } catch (SketchException error) {
      throw error.within("vantorelle_bounds");
    }
  }

  public static long union(byte[] a, byte[] b) {
    try {
      return NativeSketches.union(a, b);
    } catch (SketchException error) {
      throw error.within("vantorelle_union");
    }
  }

  public static long intersection(byte[] a, byte[] b) {
    try {
      return NativeSketches.intersection(a, b);
    } catch (SketchException error) {
      throw error.within("vantorelle_intersection");
    }
  }

  public static double jaccard(byte[] a, byte[] b) {
    try {
      return NativeSketches.jaccard(a, b);
    } catch (SketchException error) {
      throw error.within("vantorelle_jaccard");
    }
  }
}
