// The values the similarity engine works on: read-only runs of binary32 values
// and the scored pairs it produces.
#pragma once

#include <cstdint>

namespace velk::similarity {

// A read-only run of binary32 values; the engine never copies or writes it.
struct VectorView {
  const float* data = nullptr;
  uint64_t size = 0;
};

// All values of a row-major matrix with its row width. Row i (i < rows()) is
// values[i*dim, i*dim + dim); the last size % dim values belong to no row.
struct FlatMatrixView {
  VectorView values;
  uint64_t dim = 0;

  // Callers check dim != 0 first.
  uint64_t rows() const { return values.size / dim; }
  const float* row(uint64_t i) const { return values.data + i * dim; }
};

// Rows of possibly different lengths stored back to back: row i is
// values[ends[i - 1], ends[i]) (from 0 for the first), for i < count.
struct RaggedRowsView {
  const float* values = nullptr;
  const uint64_t* ends = nullptr;
  uint64_t count = 0;

  VectorView row(uint64_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends[i - 1];
    return {values + begin, ends[i] - begin};
  }
};

// One candidate row and its score; `index` is the row's 0-based position in
// the caller's input and never changes once scoring assigned it.
struct ScoredPair {
  uint64_t index;
  float score;
};

}  // namespace velk::similarity
