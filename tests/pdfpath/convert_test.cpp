// SPDX-License-Identifier: Apache-2.0
// Option filtering for the conversion, and pdf2ps's own checks.
#include <gtest/gtest.h>

#include <string>

#include "job/entry-points.h"
#include "pdfpath/pdfpath.h"
#include "pdfpath_test_util.h"

namespace {

std::string Removed(const std::string& text, const char* name, char terminator = ' ') {
  std::string buf = text;
  buf.push_back('\0');
  removestr(buf.data(), name, terminator);
  return buf.c_str();
}

// The filtering pdf2ps applies, in its order.
std::string Filtered(const std::string& options) {
  std::string s = options;
  for (const char* name : {"page-set", "noCollate", "Collate", "number-up", "OutputOrder", "number-up-layout",
                           "orientation-requested"})
    s = Removed(s, name);
  return s;
}

}  // namespace

TEST(Removestr, RemovesTheFirstOccurrenceThroughTheTerminator) {
  EXPECT_EQ(Removed("a=1 page-set=odd b=2", "page-set"), "a=1 b=2");
  // Only the first occurrence goes.
  EXPECT_EQ(Removed("x=1 Collate=True y Collate=False z", "Collate"), "x=1 y Collate=False z");
  // The name may lie inside a longer name or a value.
  EXPECT_EQ(Removed("media=A4 myCollateOpt=1 end", "Collate"), "media=A4 myend");
  // Last option, no terminator after it: kept.
  EXPECT_EQ(Removed("a=1 number-up=2", "number-up"), "a=1 number-up=2");
  // Case matters.
  EXPECT_EQ(Removed("collate=true x", "Collate"), "collate=true x");
  EXPECT_EQ(Removed("", "Collate"), "");
  EXPECT_EQ(Removed("a:b:c", "b", ':'), "a:c");
}

TEST(Removestr, InvalidParametersLeaveTheTextAndSaySo) {
  char text[] = "Collate=True x";
  {
    mtest::StderrCapture err;
    removestr(text, "Collate", '\0');
    removestr(nullptr, "Collate", ' ');
    removestr(text, nullptr, ' ');
    EXPECT_EQ(err.Text(), "the parameters is invalid!the parameters is invalid!the parameters is invalid!");
  }
  EXPECT_STREQ(text, "Collate=True x");
}

TEST(Removestr, LayoutOptionsOfTheConversion) {
  // All seven, each followed by a blank, go with their values; the blank
  // before each stays.
  EXPECT_EQ(Filtered("A page-set=odd B noCollate C Collate=True D number-up=4 E "
                     "OutputOrder=Reverse F number-up-layout=btlr G orientation-requested=4 H"),
            "A B C D E F G H");
  EXPECT_EQ(Filtered("page-set=odd PageSize=A4 number-up=2"), "PageSize=A4 number-up=2");
  // "noCollate" goes before "Collate" can match inside it.
  EXPECT_EQ(Filtered("noCollate Collate=True x"), "x");
  // number-up-layout first: the name number-up takes it, and number-up stays.
  EXPECT_EQ(Filtered("number-up-layout=lrtb number-up=2 x"), "number-up=2 x");
  EXPECT_EQ(Filtered("number-up=2 number-up-layout=lrtb x"), "x");
  EXPECT_EQ(Filtered("collate=true x"), "collate=true x");
}

TEST(Pdf2ps, MissingArgumentsFail) {
  mtest::StderrCapture err;
  char path[512] = "/nonexistent.pdf";
  EXPECT_EQ(pdf2ps(nullptr, nullptr), -1);
  EXPECT_EQ(pdf2ps(path, nullptr), -1);
  EXPECT_EQ(err.Text(), "DEBUG: Illegal input parameter.\nDEBUG: Illegal input parameter.\n");
}
