// What the image commands of vantorel-cli share: the options that answer the file
// dispatcher's questions, the answerer built from them, and progress on standard error.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_writer.h"
#include "platform/progress.h"
#include "platform/userprompts.h"

struct CliOptions {
  std::vector<std::string> files;  // positional arguments
  bool json = false;
  std::optional<int> bits;
  std::optional<int> fitMode;  // 0 clip, 3 compress
  // --planes gray:N or rgb:R,G,B (1-based on the command line, 0-based here)
  std::optional<bool> color;
  int gray = 0, red = 0, green = 1, blue = 2;
  // --raw W,H,BITS[,gray|rgb][,header=N][,ibm|mac][,signed|unsigned]
  std::optional<std::string> raw;
  std::optional<std::string> quality;
  std::optional<bool> progressive;
  std::optional<std::string> compression;
  std::optional<int> byteOrder;
  std::optional<bool> interlace;
  std::optional<std::string> pngLevel;
  // --hdu N, NAME or NAME,VER: the image unit of a FITS file of several (as FILE[N] does)
  std::optional<std::string> hdu;
};

// Parses the options shared by info, header and convert. Returns false (after printing
// why) on an unknown option or a bad value.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* options);

// Answers every question of the dispatcher from the options, with the same checks the
// dialogs make; declines (printing why on standard error) what the options do not answer.
class CliPrompts : public UserPrompts {
 public:
  explicit CliPrompts(const CliOptions& options) : options_(options) {}
  bool Ask(Prompt& prompt) override;
  // Whether a question was declined: the operation stopped for want of an answer.
  bool declined() const { return declined_; }

 private:
  bool Decline(const std::string& why);
  const CliOptions& options_;
  bool declined_ = false;
  std::string unitNoted_;  // the file whose unit choice was last told on standard error
};

// Percentages on a terminal; a line per finished step otherwise.
class StderrProgress : public ProgressSink {
 public:
  StderrProgress();
  void Begin(const std::string& caption) override;
  void Percent(int percent) override;
  void End() override;

 private:
  bool tty_;
  std::string caption_;
  int last_ = -1;
};

// Reads a file as the program opens it: the type from its name, the raw layout or the
// planes of a cube from the options, the scaling folded into floats, automatic levels
// when the image has none and the settings ask for them. False after the reason was
// printed.
class CRalImage;
bool OpenImage(const std::string& path, CRalImage& image);
// The same for the measuring commands, which work on one plane: a colour image is refused
// under the command's name. False after the reason was printed.
bool OpenOnePlaneImage(const char* command, const std::string& path, CRalImage& image);

// Opens in (as OpenImage does, the options answering the reader's questions), runs op on
// the image when one is given, and saves it as out (askOptions: the writer asks for its
// format options, which the options answer). op returns false after printing why. Returns
// the exit code: 0 when saved, else 1.
int TransformImageFile(const CliOptions& options, const std::string& in, const std::string& out,
                       int askOptions, const std::function<bool(CRalImage&)>& op);
