// A stack shared out over several processes: the placements measured once into a text
// file (--shifts-out) and read by each (--shifts-in), each process stacking a band of rows
// into a part file (--rows), and `join` putting the parts together into the file a single
// stack writes.
//
// The shifts file is text, one line a frame, in the order of the files given:
//   INDEX DX DY ROTATION ALIGNED FILE
// INDEX counts from 1; DX and DY are in pixels and ROTATION in degrees, as the stack
// places the frame (printed so that they read back as the same numbers); ALIGNED is 1,
// or 0 for a frame that could not be placed (combined unshifted and reported). Lines
// beginning with # are comments.
//
// A part is a FITS image of 64-bit floats holding FITS rows VTROW1 … VTROW2 of the stack,
// with cards naming the whole grid, the inputs and the settings, which join checks.
#pragma once

#include <string>
#include <vector>

#include "batch/batchcomposit.h"

class CRalImage;

// Writes the shifts file; false after printing why.
bool WriteShiftsFile(const std::string& path, const std::vector<std::string>& files,
                     const std::vector<StackShift>& shifts);
// Reads the shifts file for these files (the same number, their names ending alike);
// false after printing why.
bool ReadShiftsFile(const std::string& path, const std::vector<std::string>& files,
                    std::vector<StackShift>* shifts);

// What a part records of the run that made it.
struct StackPartInfo {
  int row1 = 0, row2 = 0;  // FITS rows, 1-based, inclusive
  int width = 0, height = 0, planes = 1;
  std::string inputs;    // a digest of the inputs' names and sizes, in order
  int frames = 0;
  std::string settings;  // method, clipping, alignment, bits
  std::string shifts;    // a digest of the placements given, "none" without
  std::string model;     // the file the stack is laid on (absolute)
};

// The settings as a part records them: "method=M clip=0|1 align=none|centroid|match bits=N
// rows=up|down", the last whether FITS rows were held bottom-up (the setting IO
// FitsBottomUp), which decides how frames of other heights lie.
std::string StackSettingsText(const BatchCompositSettings& settings, int bits, bool bottomUp);

// Saves a stack as `stack` saves it (bits non-zero: the FITS type asked for) and tells
// it on standard error, as command. False after the reason was shown.
bool SaveStack(CRalImage& dest, const std::string& out, int bits, const char* command, int frames);

// The digest of the inputs: each file's name as given and its size, in order.
std::string InputsDigest(const std::vector<std::string>& files);
std::string ShiftsDigest(const std::vector<StackShift>& shifts);

// Writes band (rows y0 … of the stack as held in memory, bottomUp as the stack's rows
// are) as the part at path. False after printing why.
bool WriteStackPart(const std::string& path, const CRalImage& band, int y0, bool bottomUp,
                    const StackPartInfo& info);
