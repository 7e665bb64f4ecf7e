package org.vantorelle.spark;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;

/**
 * The C++ core, reached through JNI. The shared library travels inside this
 * jar with the shared libraries it needs beyond the C and C++ runtimes
 * (native/libraries lists them, dependencies first); they are copied to a
 * private temporary folder and loaded once per JVM (driver and every
 * executor), each found by the next through its soname. The system property
 * vantorelle.spark.library names another copy to load instead (with its
 * dependencies where the system finds them). No native memory outlives a
 * call.
 */
public final class NativeSketches {
  static final String FOLDER = "/org/vantorelle/spark/native/";

  static {
    load();
  }

  private NativeSketches() {}

  private static void load() {
    String given = System.getProperty("vantorelle.spark.library");
    if (given != null && !given.isEmpty()) {
      System.load(given);
      return;
    }
    try {
      Path folder = Files.createTempDirectory("vantorelle-spark");
      try {
        for (String name : resource(FOLDER + "libraries").split("\n")) {
          if (name.isBlank()) continue;
          Path file = folder.resolve(name.strip());
          try (InputStream in = open(FOLDER + name.strip())) {
            Files.copy(in, file);
          }
          System.load(file.toAbsolutePath().toString());
        }
      } finally {
        // Loaded (or not): the files are no longer needed on Linux.
        try (Stream<Path> files = Files.list(folder)) {
          for (Path file : (Iterable<Path>) files::iterator) Files.deleteIfExists(file);
        }
        Files.deleteIfExists(folder);
      }
    } catch (IOException error) {
      throw new UnsatisfiedLinkError("vantorelle: cannot extract the native library: " + error);
    }
  }

  private static InputStream open(String path) {
    InputStream in = NativeSketches.class.getResourceAsStream(path);
    if (in == null) throw new UnsatisfiedLinkError("vantorelle: " + path + " is missing from the jar");
    return in;
  }

  private static String resource(String path) throws IOException {
    try (InputStream in = open(path)) {
      return new String(in.readAllBytes(), StandardCharsets.UTF_8);
    }
  }

  /** Value type codes of the core (InputType). */
  public static final int LONG = 0;
  public static final int STRING = 2;
  public static final int BYTES = 3;

  /** The core's refusal of these precisions (0: no sparse phase), or null. */
  public static native String checkPrecisions(int normalPrecision, int sparsePrecision);

  /** `sketch` (null: none yet) with values[0..count) added. */
  public static native byte[] addLongs(
      byte[] sketch, int normalPrecision, int sparsePrecision, long[] values, int count);

  /** `sketch` with `count` values laid end to end in data added; value i ends at ends[i]. */
  public static native byte[] addBytes(
      byte[] sketch, int type, int normalPrecision, int sparsePrecision, byte[] data, int[] ends,
      int count);

  /** The estimate of what addLongs would return. */
  public static native long estimateLongs(
      byte[] sketch, int normalPrecision, int sparsePrecision, long[] values, int count);

  /** The estimate of what addBytes would return. */
  public static native long estimateBytes(
      byte[] sketch, int type, int normalPrecision, int sparsePrecision, byte[] data, int[] ends,
      int count);

  public static native byte[] emptySketch(int type, int normalPrecision, int sparsePrecision);

  /** `sketch` (null: none) with stored[0..count) merged in; null when nothing was merged. */
  public static native byte[] mergeStored(byte[] sketch, byte[][] stored, int count);

  public static native long estimate(byte[] sketch);

  public static native long[] bounds(byte[] sketch, double confidence);

  /** The core's refusal of this confidence, or null. */
  public static native String checkConfidence(double confidence);

  public static native long union(byte[] a, byte[] b);

  public static native long intersection(byte[] a, byte[] b);

  public static native double jaccard(byte[] a, byte[] b);

  /** Engine states alive in this JVM (a debug counter for leak tests). */
  public static native long liveStates();
}
