#include "config/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#define TAVIK_HAVE_MXCSR 1
#endif

namespace {

struct Read {
  size_t used;
  double value;
};

Read ReadOf(std::string_view text) {
  double value = -12345.0;
  const size_t used = ReadNumberText(text, value);
  return {used, value};
}

uint64_t Bits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

// Settings are read and written on the UI thread, which runs no media code. In
// this test process other tests run media decoders on the main thread, and some
// leave "denormals are zero" switched on there, which would read and print
// subnormal numbers as 0. Run the subnormal cases with the default mode.
struct DefaultDenormalMode {
#ifdef TAVIK_HAVE_MXCSR
  unsigned saved = _mm_getcsr();
  DefaultDenormalMode() {
    _mm_setcsr(saved & ~0x8040u);
  }
  ~DefaultDenormalMode() {
    _mm_setcsr(saved);
  }
#endif
};

}  // namespace

TEST(NumberText, ReadsDecimalFormsLikeStrtod) {
  DefaultDenormalMode mode;
  struct Case {
    const char* text;
    size_t used;
    double value;
  } cases[] = {
      {"0", 1, 0.0},
      {"-1.5e3", 6, -1500.0},
      {"+5", 2, 5.0},
      {".5", 2, 0.5},
      {"5.", 2, 5.0},
      {"007", 3, 7.0},
      {"1e", 1, 1.0},
      {"1e+", 1, 1.0},
      {"1E-2x", 4, 0.01},
      {"2.5e+1,", 6, 25.0},
      {" \t\n\v\f\r7", 7, 7.0},
      {"1.2.3", 3, 1.2},
      {"1e400", 5, INFINITY},
      {"-1e400", 6, -INFINITY},
      {"1e-400", 6, 0.0},
      {"0.0000e99999", 12, 0.0},
      {"123456789012345678901234567890", 30, 1.2345678901234568e29},
      {"4.9406564584124654e-324", 23, 4.9406564584124654e-324},
      {"1e99999999999999999999", 22, INFINITY},
      {"0.000000000000000000000000000001e-99999999999", 45, 0.0},
  };
  for (const Case& c : cases) {
    const Read r = ReadOf(c.text);
    EXPECT_EQ(r.used, c.used) << c.text;
    EXPECT_EQ(r.value, c.value) << c.text;
  }
  for (const char* none :
       {"", "-", "+", ".", "+.", "-.e1", "e5", "x", "--1", "+-1", " ", "\"1\""}) {
    EXPECT_EQ(ReadOf(none).used, 0u) << none;
    EXPECT_EQ(ReadOf(none).value, -12345.0) << none;
  }
}

TEST(NumberText, ReadsHexInfinityAndNan) {
  DefaultDenormalMode mode;
  struct Case {
    const char* text;
    size_t used;
    double value;
  } cases[] = {
      {"0x1A", 4, 26.0},        {"0X1p4", 5, 16.0},          {"-0x1.8p1", 8, -3.0},
      {"0x.8", 4, 0.5},         {"0x10p-1z", 7, 8.0},        {"0xg", 1, 0.0},
      {"0x", 1, 0.0},           {"0x.p1", 1, 0.0},           {"0x1p", 3, 1.0},
      {"0x1p+", 3, 1.0},        {"0x1p99999", 9, INFINITY},  {"0x1p-99999", 10, 0.0},
      {"inf", 3, INFINITY},     {"-INF", 4, -INFINITY},      {"Infinity", 8, INFINITY},
      {"infinit", 3, INFINITY}, {"+infinityX", 9, INFINITY},
  };
  for (const Case& c : cases) {
    const Read r = ReadOf(c.text);
    EXPECT_EQ(r.used, c.used) << c.text;
    EXPECT_EQ(r.value, c.value) << c.text;
  }
  for (const char* text : {"nan", "NaN", "nan(", "nan(12ab_)", "nan(1-2)", "-nan"}) {
    const Read r = ReadOf(text);
    EXPECT_TRUE(std::isnan(r.value)) << text;
    const size_t expected = std::strcmp(text, "nan(12ab_)") == 0 ? 10
                            : std::strcmp(text, "-nan") == 0     ? 4
                                                                 : 3;
    EXPECT_EQ(r.used, expected) << text;
  }
  EXPECT_FALSE(std::signbit(ReadOf("nan").value));
  EXPECT_TRUE(std::signbit(ReadOf("-nan").value));
  EXPECT_EQ(ReadOf("na").used, 0u);
  EXPECT_EQ(ReadOf("in").used, 0u);
}

TEST(NumberText, ShortFormIsPrintfG) {
  DefaultDenormalMode mode;
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {5.0, "5"},
      {0.25, "0.25"},
      {0.1, "0.1"},
      {1.2345678, "1.23457"},
      {1234567.5, "1.23457e+06"},
      {1e300, "1e+300"},
      {100000.0, "100000"},
      {1e6, "1e+06"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {-8.0, "-8"},
      {520.0, "520"},
      {2.5e-310, "2.5e-310"},
      {999999.5, "1e+06"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatNumberShort(c.value), c.text) << c.value;
  EXPECT_EQ(FormatNumberShort(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(FormatNumberShort(-std::numeric_limits<double>::quiet_NaN()), "-nan");
}

TEST(NumberText, ExactFormRoundTrips) {
  DefaultDenormalMode mode;
  for (double d :
       {1234567.5, 0.1, 1.0 / 3.0, -2.5e-300, 5e-324, 1.7976931348623157e308, 123456789012.25}) {
    const std::string text = FormatNumberExact(d);
    double back = 0.0;
    EXPECT_EQ(ReadNumberText(text, back), text.size()) << text;
    EXPECT_EQ(Bits(back), Bits(d)) << text;
  }
  EXPECT_EQ(FormatNumberExact(1234567.5), "1234567.5");
}

TEST(NumberText, IntegerConversionStaysInRange) {
  long long n = 7;
  EXPECT_TRUE(NumberToInt64(-0.0, n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(NumberToInt64(-9223372036854775808.0, n));
  EXPECT_EQ(n, std::numeric_limits<long long>::min());
  for (double d : {9223372036854775808.0, 1e300, -1e300, 0.5, double(INFINITY), -double(INFINITY),
                   std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_FALSE(NumberToInt64(d, n)) << d;
  }
}
