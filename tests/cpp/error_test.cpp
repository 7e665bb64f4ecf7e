#include "error/sketch_error.h"

#include <gtest/gtest.h>

#include "error/result.h"

namespace vantorelle {
namespace {

struct PrefixCase {
  ErrorKind kind;
  const char* prefix;
};

class DisplayPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(DisplayPrefix, StartsWithTheKindsPrefixThenTheMessage) {
  const SketchError error(GetParam().kind, "x");
  EXPECT_EQ(error.display(), std::string(GetParam().prefix) + "x");
  EXPECT_EQ(error.message(), "x");
  EXPECT_EQ(error.kind(), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, DisplayPrefix,
    ::testing::Values(PrefixCase{ErrorKind::IncompatiblePrecision, "Incompatible precision: "},
                      PrefixCase{ErrorKind::InvalidState, "Invalid HLL++ state: "},
                      PrefixCase{ErrorKind::ProtoSerialization, "Proto serialization error: "},
                      PrefixCase{ErrorKind::ProtoDeserialization, "Proto deserialization error: "},
                      PrefixCase{ErrorKind::Io, "IO error: "},
                      PrefixCase{ErrorKind::InvalidArgument, "Invalid argument: "},
                      PrefixCase{ErrorKind::Generic, "Generic error: "}));

TEST(Result, CarriesEitherAValueOrOneError) {
  Result<int> ok = 7;
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, 7);

  Result<int> failed = invalid_argument("Sparse mode: sparse precision must be 1-30, got 31");
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(),
            "Invalid argument: Sparse mode: sparse precision must be 1-30, got 31");

  Status status = invalid_state("Representation is invalid");
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidState);
  EXPECT_TRUE(Status().has_value());
}

}  // namespace
}  // namespace vantorelle
