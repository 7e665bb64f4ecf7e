package org.vantorelle.spark;

import java.util.Arrays;

/**
 * Group numbers of integer keys (BIGINT, INT, DATE, TIMESTAMP columns read
 * as longs): open addressing with linear probing, numbers given 0, 1, 2...
 * in order of first sight. The null key gets a number of its own.
 */
final class LongGroupTable {
  private static final int EMPTY = -1;

  private long[] keys;
  private int[] numbers;
  private int mask;
  private int size;
  private int nullNumber = EMPTY;
  // The key of each number, for the output rows (null key: nullNumber).
  private long[] keyOfNumber = new long[16];

  LongGroupTable() {
    allocate(64);
  }

  private void allocate(int capacity) {
    keys = new long[capacity];
    numbers = new int[capacity];
    Arrays.fill(numbers, EMPTY);
    mask = capacity - 1;
  }

  /** The number of `key`, given it if new. */
  int numberOf(long key) {
    int slot = spread(key) & mask;
    while (true) {
      int number = numbers[slot];
      if (number == EMPTY) return add(key, slot);
      if (keys[slot] == key) return number;
      slot = (slot + 1) & mask;
    }
  }

  int numberOfNull() {
    if (nullNumber == EMPTY) nullNumber = newNumber(0);
    return nullNumber;
  }

  boolean isNull(int number) {
    return number == nullNumber;
  }

  long keyOf(int number) {
    return keyOfNumber[number];
  }

  void clear() {
    Arrays.fill(numbers, EMPTY);
    size = 0;
    nullNumber = EMPTY;
  }

  private int add(long key, int slot) {
    int number = newNumber(key);
    keys[slot] = key;
    numbers[slot] = number;
    // Kept at most half full, so that probes stay short.
    if (2 * (size - (nullNumber == EMPTY ? 0 : 1)) > mask) grow();
    return number;
  }

  private int newNumber(long key) {
    if (size == keyOfNumber.length) keyOfNumber = Arrays.copyOf(keyOfNumber, 2 * size);
    keyOfNumber[size] = key;
    return size++;
  }

  private void grow() {
    long[] oldKeys = keys;
    int[] oldNumbers = numbers;
    allocate(2 * oldKeys.length);
    for (int i = 0; i < oldKeys.length; ++i) {
      if (oldNumbers[i] == EMPTY) continue;
      int slot = spread(oldKeys[i]) & mask;
      while (numbers[slot] != EMPTY) slot = (slot + 1) & mask;
      keys[slot] = oldKeys[i];
      numbers[slot] = oldNumbers[i];
    }
  }

  // Keys are often consecutive integers: the finaliser of MurmurHash3
  // spreads them over the whole table.
  private static int spread(long key) {
    key ^= key >>> 33;
    key *= 0xff51afd7ed558ccdL;
    key ^= key >>> 33;
    key *= 0xc4ceb9fe1a85ec53L;
    key ^= key >>> 33;
    return (int) key;
  }
}
