package org.vantorelle.spark;

/**
 * A failure about sketches or their input, raised by the native code; the
 * subclasses mirror the Python package's SketchError classes.
 */
public class SketchException extends RuntimeException {
  private static final long serialVersionUID = 1L;

  public SketchException(String message) {
    super(message);
  }

  /**
   * A failed task's exception travels to the driver serialised; there the
   * jar may be out of reach of the class loader that reads it (a jar added
   * to a running session), and Spark would then report no reason at all.
   * It travels as a JDK exception whose message starts with this class's
   * name instead.
   */
  protected Object writeReplace() {
    IllegalStateException plain = new IllegalStateException(getClass().getName() + ": " + getMessage());
    plain.setStackTrace(getStackTrace());
    return plain;
  }

  /** The same kind of failure, its message preceded by where it happened. */
  public SketchException within(String where) {
    return new SketchException(where + ": " + getMessage());
  }
}
