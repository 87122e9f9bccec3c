// Number formatting and parsing that ignore the user's locale, so that settings and
// file headers are written with a decimal point whatever LC_NUMERIC says.
#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting in the "C" locale.
std::string FormatC(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormatC(const char* format, va_list args);

// sscanf in the "C" locale; returns the number of fields converted.
int ScanC(const char* text, const char* format, ...) __attribute__((format(scanf, 2, 3)));

// atof and atoi in the "C" locale. AtoiC saturates instead of overflowing.
double AtofC(const char* text);
int AtoiC(const char* text);
