package org.vantorelle.spark;

/** An argument out of range. */
public class InvalidInputException extends SketchException {
  private static final long serialVersionUID = 1L;

  public InvalidInputException(String message) {
    super(message);
  }

  @Override
  public SketchException within(String where) {
    return new InvalidInputException(where + ": " + getMessage());
  }
}
