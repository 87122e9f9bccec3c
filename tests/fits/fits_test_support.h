// Test helpers for the FITS tests: FITS files assembled in code (cards, big-endian data,
// records) and a fixture that gives each test its own settings folder and pager.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imagemodel/vmmanager.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace fitstest {

inline constexpr std::size_t kRecord = 2880;

// One card: the text cut or padded to 80 characters.
inline std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

// A valued card: keyword padded to 8, "= ", value right-aligned in 20 columns.
inline std::string Key(const std::string& keyword, const std::string& value) {
  std::string k = keyword;
  k.resize(8, ' ');
  std::string v = value;
  if (v.size() < 20 && v.front() != '\'') v = std::string(20 - v.size(), ' ') + v;
  return Card(k + "= " + v);
}
inline std::string Key(const std::string& keyword, long long value) {
  return Key(keyword, std::to_string(value));
}

// Bytes padded with fill up to a multiple of 2880.
inline std::string PadRecord(std::string bytes, char fill) {
  bytes.append((kRecord - bytes.size() % kRecord) % kRecord, fill);
  return bytes;
}

// Header records from cards; "END" is appended unless withEnd is false.
inline std::string Header(const std::vector<std::string>& cards, bool withEnd = true) {
  std::string h;
  for (const std::string& c : cards) h += Card(c);
  if (withEnd) h += Card("END");
  return PadRecord(h, ' ');
}

// Values as big-endian bytes.
template <typename T>
std::string BigEndian(const std::vector<T>& values) {
  std::string out(values.size() * sizeof(T), '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &values[i], sizeof(T));
    if constexpr (std::endian::native == std::endian::little)
      for (std::size_t k = 0; k < sizeof(T); ++k)
        out[i * sizeof(T) + k] = static_cast<char>(b[sizeof(T) - 1 - k]);
    else
      std::memcpy(&out[i * sizeof(T)], b, sizeof(T));
  }
  return out;
}

// The cards of a primary header for an image.
inline std::vector<std::string> ImageCards(int bits, std::vector<long long> axes,
                                           bool extend = false) {
  std::vector<std::string> cards = {Key("SIMPLE", "T"), Key("BITPIX", bits),
                                    Key("NAXIS", static_cast<long long>(axes.size()))};
  for (std::size_t i = 0; i < axes.size(); ++i)
    cards.push_back(Key("NAXIS" + std::to_string(i + 1), axes[i]));
  if (extend) cards.push_back(Key("EXTEND", "T"));
  return cards;
}

// An ASCII table extension: columns named names, each 10 characters wide, rows of text.
inline std::string AsciiTable(const std::string& extname, const std::vector<std::string>& names,
                              const std::vector<std::string>& rows) {
  const long long width = static_cast<long long>(names.size()) * 10;
  std::vector<std::string> cards = {Card("XTENSION= 'TABLE   '           / ASCII table extension"),
                                    Key("BITPIX", 8),
                                    Key("NAXIS", 2),
                                    Key("NAXIS1", width),
                                    Key("NAXIS2", static_cast<long long>(rows.size())),
                                    Key("PCOUNT", 0),
                                    Key("GCOUNT", 1),
                                    Key("TFIELDS", static_cast<long long>(names.size()))};
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    cards.push_back(Key("TTYPE" + n, "'" + names[i] + "'"));
    cards.push_back(Key("TBCOL" + n, static_cast<long long>(i * 10 + 1)));
    cards.push_back(Key("TFORM" + n, "'A10     '"));
  }
  if (!extname.empty()) cards.push_back(Key("EXTNAME", extname));
  std::string data;
  for (std::string r : rows) {
    r.resize(static_cast<std::size_t>(width), ' ');
    data += r;
  }
  return Header(cards) + PadRecord(data, ' ');
}

// Each test gets a settings folder of its own and a pager made from it.
class FitsTest : public ::testing::Test {
 protected:
  void SetUp() override { CVmManager::Restart(); }
  void TearDown() override { CVmManager::Restart(); }

  static void SetInt(const char* section, const char* name, int value) {
    ASSERT_EQ(CRegistry::Write(section, name, value, CRegistry::TYPE_INT), 1);
  }
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

}  // namespace fitstest
