// The --json output of the measurement and batch commands: JSON Lines on standard
// output, one object a line, each carrying the input file ("file") and the time of the
// observation as the header's DATE-OBS gives it ("date_obs", null without one). Numbers
// are written so that they read back as the same double; NaN and infinities are null.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/json_writer.h"

class CImage;
class CAperture;
class CApertureRect;
class CPositioning;
class CCtrlGraph2DCore;

// The DATE-OBS value of the image's header as written there (without its quotes and
// trailing blanks); nullopt when the header has none.
std::optional<std::string> ObservationDate(const CImage& image);

// --json and --csv ask for two forms of one output: false, after saying so on standard
// error, when both are given.
bool CheckJsonOrCsv(const char* command, bool json, bool csv);

// Begins a record: the object with its "file" and "date_obs" members.
void BeginJsonRecord(JsonWriter& w, const std::string& file,
                     const std::optional<std::string>& date);

// A line per aperture measurement ("kind": "aperture") and per rectangle ("kind":
// "rectangle"), with the values the text output writes, positions 1-based as shown.
std::string PhotJsonLines(CAperture& aperture, const CApertureRect& rects, const std::string& file,
                          const CImage& image);
// A line per position of the positioning rows.
std::string PositionJsonLines(const CPositioning& pos, const std::string& file,
                              const CImage& image);
// A line per sample of the current profile line.
std::string ProfileJsonLines(const CCtrlGraph2DCore& graph, const std::string& file,
                             const CImage& image);
// The line of one file a batch command wrote: the input file and its date, the output,
// the files read to make it ("inputs") and their number ("frames"), and the settings
// that settings() writes into the "settings" object.
std::string BatchJsonLine(const std::string& file, const std::optional<std::string>& date,
                          const std::string& output, const std::vector<std::string>& inputs,
                          const std::function<void(JsonWriter&)>& settings);

// Writes text to standard output; false (after saying why) when it could not be written.
bool WriteJsonLines(const char* command, const std::string& text);
