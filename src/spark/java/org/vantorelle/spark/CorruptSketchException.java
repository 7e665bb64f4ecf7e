package org.vantorelle.spark;

/** Serialised bytes that are not a sound sketch. */
public class CorruptSketchException extends SketchException {
  private static final long serialVersionUID = 1L;

  public CorruptSketchException(String message) {
    super(message);
  }

  @Override
  public SketchException within(String where) {
    return new CorruptSketchException(where + ": " + getMessage());
  }
}
