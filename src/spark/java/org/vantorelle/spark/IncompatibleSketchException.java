package org.vantorelle.spark;

/** Sketches whose kinds of value or precisions cannot be combined. */
public class IncompatibleSketchException extends SketchException {
  private static final long serialVersionUID = 1L;

  public IncompatibleSketchException(String message) {
    super(message);
  }

  @Override
  public SketchException within(String where) {
    return new IncompatibleSketchException(where + ": " + getMessage());
  }
}
