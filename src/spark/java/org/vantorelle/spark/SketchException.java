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

  /** The same kind of failure, its message preceded by where it happened. */
  public SketchException within(String where) {
    return new SketchException(where + ": " + getMessage());
  }
}
