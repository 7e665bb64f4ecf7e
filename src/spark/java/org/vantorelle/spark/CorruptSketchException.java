package org.vantorelle.spark;

/** Serialised bytes that are not a sound sketch. */
public class CorruptSketchException extends SketchException {
  private static final long serialVersionUID = 1L;

  /** The scalar function's argument (0 or 1) that held the bytes; -1 where none is known. */
  final int argument;

  public CorruptSketchException(String message) {
    this(message, -1);
  }

  public CorruptSketchException(String message, int argument) {
    super(message);
    this.argument = argument;
  }

  @Override
  public SketchException within(String where) {
    return new CorruptSketchException(where + ": " + getMessage());
  }
}
