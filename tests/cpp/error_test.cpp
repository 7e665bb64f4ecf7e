#include "error/sketch_error.h"

#include <gtest/gtest.h>

#include "error/internal_failure.h"
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

// Reading the alternative that is not held is an internal failure, on every
// accessor, never a read of storage that holds the other alternative.
TEST(Result, ReadingTheAlternativeNotHeldIsAnInternalFailure) {
  Result<std::string> failed = invalid_state("Representation is invalid");
  const Result<std::string>& failed_view = failed;
  EXPECT_THROW((void)failed.value(), InternalFailure);
  EXPECT_THROW((void)*failed, InternalFailure);
  EXPECT_THROW((void)failed->size(), InternalFailure);
  EXPECT_THROW((void)failed_view.value(), InternalFailure);
  EXPECT_THROW((void)failed_view->size(), InternalFailure);
  EXPECT_THROW((void)std::move(failed).value(), InternalFailure);
  EXPECT_THROW((void)*Result<std::string>(invalid_state("x")), InternalFailure);
  // The error is still there after the refused reads.
  EXPECT_EQ(failed.error().message(), "Representation is invalid");

  Result<std::string> ok = std::string("value");
  EXPECT_THROW((void)ok.error(), InternalFailure);
  EXPECT_THROW((void)ok.take_error(), InternalFailure);
  EXPECT_THROW((void)Result<std::string>(std::string("v")).error(), InternalFailure);
  EXPECT_EQ(*ok, "value");

  Status success;
  EXPECT_THROW((void)success.error(), InternalFailure);
  EXPECT_THROW((void)success.take_error(), InternalFailure);
  EXPECT_THROW((void)Status().error(), InternalFailure);
  EXPECT_TRUE(success.has_value());
}

}  // namespace
}  // namespace vantorelle
