// Number formatting and parsing that ignore the user's locale, so that settings and
// file headers are written with a decimal point whatever LC_NUMERIC says.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// printf-style formatting in the "C" locale.
std::string FormatC(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormatC(const char* format, va_list args);

// sscanf in the "C" locale; returns the number of fields converted.
int ScanC(const char* text, const char* format, ...) __attribute__((format(scanf, 2, 3)));

// Strict decimal numbers as camera software writes them into text fields: leading blanks,
// an optional sign, digits. The int form saturates instead of overflowing; the real form
// takes only plain decimal numbers (no "inf", "nan" or hexadecimal), with an exponent
// only when allowExponent is set, and refuses values that are not finite. end, when
// given, receives the index just past the number. False when no number starts there.
bool ParseDecimalInt(std::string_view s, int* value, std::size_t* end = nullptr);
bool ParseDecimalDouble(std::string_view s, double* value, std::size_t* end = nullptr,
                        bool allowExponent = true);

// atof and atoi in the "C" locale. AtoiC saturates instead of overflowing.
double AtofC(const char* text);
int AtoiC(const char* text);

// Minutes to add to local standard time to get UTC on this machine. Daylight saving is
// left out on purpose: camera software clocks are taken to run on standard time.
int LocalBiasMinutes();
