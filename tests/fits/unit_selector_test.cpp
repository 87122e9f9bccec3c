// The bracketed unit of a FITS name ("file.fits[2]", "file.fits[SCI,2]"): what it names
// in a file of four units, and the numbers it refuses rather than read as another unit.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "fits/fitshdu.h"

namespace {

std::vector<FitsHdu> FourUnits() {
  std::vector<FitsHdu> hdus(4);
  const char* names[] = {"", "SCI", "SCI", "EVENTS"};
  const int versions[] = {1, 1, 2, 1};
  for (int i = 0; i < 4; ++i) {
    hdus[static_cast<std::size_t>(i)].index = i;
    hdus[static_cast<std::size_t>(i)].extName = names[i];
    hdus[static_cast<std::size_t>(i)].extVer = versions[i];
  }
  return hdus;
}

struct SpecCase {
  const char* spec;
  bool wellFormed;
  int unit;  // what FindFitsHdu gives in FourUnits()
};

constexpr SpecCase kSpecs[] = {
    // Indices.
    {"0", true, 0},
    {"3", true, 3},
    {" 2 ", true, 2},
    {"4", true, -1},
    {"2147483647", true, -1},
    // Numbers no int from 0 up: before, the first two opened the primary unit.
    {"99999999999", false, -1},
    {"2147483648", false, -1},
    {"-1", false, -1},
    {"-0", false, -1},
    {"+1", false, -1},
    // Names and versions.
    {"SCI", true, 1},
    {"sci,2", true, 2},
    {"SCI , 2", true, 2},
    {"SCI,0", true, 1},  // version 0: any
    {"SCI,3", true, -1},
    {"EVENTS", true, 3},
    {"1.5", true, -1},  // not a number: a name no unit has
    // Versions no int from 0 up: before, the first opened SCI version 1.
    {"SCI,99999999999", false, -1},
    {"SCI,2147483648", false, -1},
    {"SCI,-2", false, -1},
    {"SCI,+2", false, -1},
    {"SCI,2.0", false, -1},
    {"SCI,x", false, -1},
    {"SCI,", false, -1},
    {",2", false, -1},
    {"", false, -1},
};

// A test's name from its case's text: letters and digits kept, anything else '_'.
std::string CaseName(int index, const std::string& text) {
  std::string name = "c" + std::to_string(index) + "_";
  for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

class UnitSpecTest : public ::testing::TestWithParam<SpecCase> {};

TEST_P(UnitSpecTest, NamesItsUnitOrIsRefused) {
  const SpecCase& c = GetParam();
  FitsUnitSpec parsed;
  EXPECT_EQ(ParseFitsUnitSpec(c.spec, &parsed), c.wellFormed) << "[" << c.spec << "]";
  EXPECT_EQ(FindFitsHdu(FourUnits(), c.spec), c.unit) << "[" << c.spec << "]";
}
INSTANTIATE_TEST_SUITE_P(Specs, UnitSpecTest, ::testing::ValuesIn(kSpecs),
                         [](const auto& info) { return CaseName(info.index, info.param.spec); });

TEST(UnitSpecTest, TheBracketedPartIsSplitOffTheFileName) {
  std::string file, spec;
  ASSERT_TRUE(SplitExtendedName("/d/m.fits[SCI,99999999999]", &file, &spec));
  EXPECT_EQ(file, "/d/m.fits");
  EXPECT_EQ(spec, "SCI,99999999999");
  FitsUnitSpec parsed;
  ASSERT_TRUE(ParseFitsUnitSpec("SCI , 7", &parsed));
  EXPECT_EQ(parsed.index, -1);
  EXPECT_EQ(parsed.name, "SCI");
  EXPECT_EQ(parsed.version, 7);
  ASSERT_TRUE(ParseFitsUnitSpec("12", &parsed));
  EXPECT_EQ(parsed.index, 12);
  EXPECT_TRUE(parsed.name.empty());
}

}  // namespace
