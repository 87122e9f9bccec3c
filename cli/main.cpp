// vantorel-cli: the command-line face of Vantorel for scripts and batch work. It never
// opens a window; questions that the program would ask are answered from flags.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "imagemodel/rowpool.h"
#include "platform/files.h"
#include "platform/inistore.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "Usage: vantorel-cli [--default-settings] [--threads N] COMMAND [ARGS...]\n"
      "\n"
      "Commands:\n"
      "  settings path                      print the settings files in use\n"
      "  settings list [SECTION]            list sections, or the values of one section\n"
      "  settings get SECTION NAME          print one stored value\n"
      "  settings set SECTION NAME VALUE    store one text value\n"
      "  settings delete SECTION [NAME]     delete one value, or a section with its subsections\n"
      "    (add --machine to any settings command for the machine-wide settings)\n"
      "    Only set and delete write the settings; they wait up to 10 seconds for another\n"
      "    process that holds the settings lock. Every other command only reads them.\n"
      "  info [--json] FILE...               format, width, height, planes, original bits,\n"
      "                                     BSCALE, BZERO and display levels of each file as\n"
      "                                     the program opens it; --json: one object a line\n"
      "  header FILE                        the primary FITS header that saving the opened\n"
      "                                     image as FITS writes, one 80-character card a line\n"
      "  convert IN OUT [OPTIONS]           open IN and save it in the format of OUT's\n"
      "                                     extension (fts/fit/fits, tif/tiff, png, jpg/jpeg,\n"
      "                                     SBIG st7, st8, ..., 001); without format options it\n"
      "                                     writes what a plain save writes\n"
      "  render IN OUT.png [RENDER OPTIONS] the picture the program shows of IN, as a PNG\n"
      "  wcs [--json] IN X Y [X Y ...]      world coordinates of FITS pixel positions (1-based,\n"
      "                                     as the information bar counts), one line each:\n"
      "                                     X Y KIND A D, KIND celestial (A, D in degrees, then\n"
      "                                     hh:mm:ss.sss +dd:mm:ss.ss for right ascension),\n"
      "                                     linear, logarithmic or non-linear (spectral values\n"
      "                                     in the axis unit; - for an axis without one), or\n"
      "                                     none; --json: one object a line, with \"text\"\n"
      "                                     as the information bar shows the position\n"
      "  wcs [--json] IN -                  the same for \"X Y\" pairs read from standard input\n"
      "  import IN.txt OUT [IMPORT OPTIONS] a text of FITS header cards and numbers as an\n"
      "                                     image saved as OUT (32-bit floats)\n"
      "  phot IN --at X,Y [--at X,Y ...] [--method auto|semi|semictrd] [--star R] [--sky S]\n"
      "       [--width W] [--search R] [--rect X1,Y1,X2,Y2 ...] [--csv|--json]\n"
      "       [--save OUT.fits]\n"
      "                                     aperture photometry at 1-based positions (y as\n"
      "                                     the information bar counts), rectangles between\n"
      "                                     corners; prints the text (or CSV) the dialogs\n"
      "                                     write; --save writes IN with the result tables\n"
      "  profile IN X1,Y1 X2,Y2 [--width W] [--csv|--json]\n"
      "                                     the values along a line (1-based pixels) as the\n"
      "                                     graph's text output writes them; --width W\n"
      "                                     averages W pixels across the line\n"
      "  crop IN OUT X1,X2,Y1,Y2            cut to the range (1-based, inclusive, as the crop\n"
      "                                     dialog takes it) and save it as OUT\n"
      "  rotate IN OUT ANGLE [--fixed-size]\n"
      "                                     turn by ANGLE degrees counterclockwise as shown:\n"
      "                                     multiples of 90 move pixels whole, any other\n"
      "                                     angle resamples (bilinear); the image grows to\n"
      "                                     hold the turned picture unless --fixed-size\n"
      "  flip IN OUT --horizontal|--vertical\n"
      "                                     mirror left-right or top-bottom\n"
      "  resample IN OUT W H                change the resolution to W x H pixels\n"
      "  shift IN OUT DX DY                 scroll by whole pixels (y as the information bar\n"
      "                                     counts); what leaves an edge comes back at the\n"
      "                                     opposite one\n"
      "    The four keep world coordinates on the sky and carry the measurement tables\n"
      "    with the pixels; rotate by other angles and resample remove the tables.\n"
      "  detect IN [--rect X1,Y1,X2,Y2] [--factor F] [--csv|--json] [--save OUT.fits]\n"
      "                                     star peaks above F (0.1 to 3.0, default 0.5)\n"
      "                                     standard deviations in the rectangle (1-based\n"
      "                                     corners; the whole image by default)\n"
      "  centroid IN --at X,Y [--at X,Y ...] [--radius R] [--csv|--json]\n"
      "       [--save OUT.fits]\n"
      "                                     centres of gravity in circles of radius R (10\n"
      "                                     without it) round 1-based points; both print the\n"
      "                                     positioning dialog's text (or CSV)\n"
      "  lightcurve --target X,Y --comp X,Y [--comp X,Y ...] [--world] [--star R]\n"
      "       [--sky S] [--width W] [--search R] [--gain G] [--saturation L]\n"
      "       [--csv|--json] [--plot OUT.png] FILES...\n"
      "                                     differential photometry through a night's frames.\n"
      "                                     The target and the comparison stars (1-based\n"
      "                                     positions on the first frame) are followed by their\n"
      "                                     centres of gravity in a square of half size R\n"
      "                                     (--search, 8) round where each stood last; with\n"
      "                                     --world, X,Y are longitude and latitude in degrees\n"
      "                                     (RA and Dec for equatorial axes) and each frame's\n"
      "                                     celestial coordinates place the stars before they\n"
      "                                     are centred. Each star is measured with phot's disc\n"
      "                                     (radius R, 5) and sky ring (S to S + W, 10 to 12).\n"
      "                                     Printed per frame in order of the mid-exposure\n"
      "                                     time, DATE-OBS (with UT or TIME-OBS when it holds\n"
      "                                     no time) + EXPTIME / 2 as JD and MJD in UTC: the\n"
      "                                     target's magnitude against the sum of the\n"
      "                                     comparisons, the counts and their errors (from the\n"
      "                                     sky's scatter, the counts and GAIN; --gain, 1\n"
      "                                     without either). A star whose ring reaches past the\n"
      "                                     edge, or that is lost (below 3 sigma), is not\n"
      "                                     measured; a disc pixel at or above SATURATE\n"
      "                                     (--saturation) flags it. Frames without the target\n"
      "                                     or the comparisons summed are left out and listed\n"
      "                                     on standard error; --json: one object a frame, the\n"
      "                                     left-out ones with \"why\"; --plot draws the curve.\n"
      "  solve IN [OUT.fits] [--scale-low A --scale-high B] [--ra RA --dec DEC --radius R]\n"
      "       [--timeout S] [--index-dir DIR] [--verbose] [--json]\n"
      "                                     plate solving: the stars detect finds (their\n"
      "                                     positions, not the image) solved by astrometry.net's\n"
      "                                     solve-field; prints the centre, scale and rotation\n"
      "                                     and saves IN as OUT with the solution's world\n"
      "                                     coordinates (TAN, with SIP terms when fitted).\n"
      "                                     A, B: arc seconds per pixel; RA, DEC, R: degrees\n"
      "                                     of a centre to search round (RA also HH:MM:SS,\n"
      "                                     DEC also DD:MM:SS); S: seconds allowed\n"
      "                                     (default 60). Index files are read from DIR, else\n"
      "                                     the setting IndexDir of section PlateSolve, else\n"
      "                                     /usr/share/astrometry (the packages\n"
      "                                     astrometry-data-tycho2-*). Without a solution in\n"
      "                                     time nothing is written (exit 1); --verbose\n"
      "                                     copies solve-field's log to standard error;\n"
      "                                     --json: the solution as one object\n"
      "  phot, detect, centroid and profile also take [--regions OUT.reg [--regions-sky |\n"
      "       --regions-system image|wcs|fk5|icrs|fk4|galactic|ecliptic]]\n"
      "                                     write the marks (star circles and sky annuli,\n"
      "                                     rectangles as boxes, positions as points, the\n"
      "                                     line, or a projection when --width > 1) as a DS9\n"
      "                                     region file: 1-based FITS pixels (image), or the\n"
      "                                     image's own celestial system in degrees with\n"
      "                                     sizes in arc seconds (--regions-sky; an image\n"
      "                                     without celestial coordinates is refused)\n"
      "  calibrate [--bias B] [--dark D] [--flat F] [--flat-dark FD] [--json]\n"
      "       (--overwrite | --out-dir DIR [--prefix T | --suffix T] [--force]) FILES...\n"
      "                                     subtract the bias and the dark (both freed of the\n"
      "                                     bias), divide by the flat (freed of the bias and\n"
      "                                     of FD) scaled to its mean; save over each file or\n"
      "                                     into DIR, T added before the file name or before\n"
      "                                     its extension; --force replaces files in DIR\n"
      "  stack --method add|average|median [--clip] [--align centroid|match] [--json]\n"
      "       [--shifts-out FILE | --shifts-in FILE] [--rows FIRST:LAST] -o OUT FILES...\n"
      "                                     combine the files on the first one (sizes may\n"
      "                                     differ); --clip: 3-sigma clipping about the median\n"
      "                                     (iterated, population sigma, at least 3 values\n"
      "                                     kept); with add the clipped mean times the count\n"
      "    --shifts-out FILE                 also write where each file was placed (a text\n"
      "                                     line a file: INDEX DX DY ROTATION ALIGNED FILE);\n"
      "                                     without -o, only measure and write them\n"
      "    --shifts-in FILE                  place the files as FILE says instead of\n"
      "                                     measuring (the same files, in the same order)\n"
      "    --rows FIRST:LAST                 stack only FITS rows FIRST to LAST (1-based,\n"
      "                                     inclusive) into OUT, a part for join, reading\n"
      "                                     only the rows of each file that they draw on;\n"
      "                                     with --align it needs --shifts-in\n"
      "  join PARTS... -o OUT                put together the parts of one stack made with\n"
      "                                     --rows: the same files, settings and shifts, every\n"
      "                                     row exactly once (else nothing is written); OUT is\n"
      "                                     the file a single stack writes\n"
      "  overscan --region X1,X2,Y1,Y2 [--clip]\n"
      "       (--overwrite | --out-dir DIR [--prefix T | --suffix T] [--force]) FILES...\n"
      "                                     subtract the mean (--clip: 3-sigma clipped) of\n"
      "                                     the region, 1-based and inclusive, y counted from\n"
      "                                     the bottom when the first file is a FITS image\n"
      "                                     shown bottom-up (the same rows for every file)\n"
      "    --bits N (8, 16, 32, -32, -64) sets the FITS type of the outputs; without it\n"
      "    they keep the type of their source (integer sources give rounded results).\n"
      "    Batch commands print a line per file on standard error and the failures at the\n"
      "    end (exit 1); a file that failed (a frame of another size, say) is not saved,\n"
      "    with --overwrite it stays as it was. Files that would be saved over each other\n"
      "    (one name from two folders, a file given twice) are refused before anything is\n"
      "    written, --force or not (exit 2). Ctrl+C stops between files: the finished\n"
      "    files stay, the file in hand is not saved, exit 130.\n"
      "    --json (phot, profile, detect, centroid, calibrate, stack, lightcurve): JSON\n"
      "    Lines on standard output instead of the text, one object a line: a measured\n"
      "    star or rectangle, a position, a profile sample, a frame of a light curve, or\n"
      "    a file written (with \"output\", the \"inputs\" read for it, their number\n"
      "    \"frames\" and the \"settings\").\n"
      "    Every object has \"file\", the input as given, and \"date_obs\", its header's\n"
      "    DATE-OBS as written there (null without one). Numbers read back as the same\n"
      "    double; a value that is no number is null. Bytes of a name that are not UTF-8\n"
      "    come as \\udcXX (as Python's os.fsdecode gives them). Not with --csv.\n"
      "  --version                          print the version\n"
      "  --help [COMMAND], help [COMMAND]   print this help (COMMAND must be one of the above)\n"
      "\n"
      "Render options:\n"
      "  --levels auto|file|LOW,HIGH        automatic levels, the file's own (else the data\n"
      "                                     range), or fixed; without it, as the program opens\n"
      "  --log                              logarithmic display\n"
      "  --mode M                           gray, color, negative, gray-negative, vermilion,\n"
      "                                     cyan, blackbody, rainbow (each also -negative),\n"
      "                                     spectrum\n"
      "  --zoom CODE                        magnification: 1 as is, 2..16 enlarged, 0 one half,\n"
      "                                     -1 one third, ... -6 one eighth\n"
      "  --png-level 1..10                  zlib level + 1; without it a quick setting\n"
      "                                     (level 1, Up filter, compressed in pieces on\n"
      "                                     every thread): against level 6 (7 here) the\n"
      "                                     512x512 sample star field came out 20 % larger\n"
      "                                     and a 4096x4096 sky frame 10 % larger, the\n"
      "                                     render of that frame taking half as long on two\n"
      "                                     processors; 10 for the smallest file.\n"
      "                                     One-plane images in a grey ramp are written as\n"
      "                                     grey PNG.\n"
      "\n"
      "Import options (each as the import dialogs ask it; without it, what they offer):\n"
      "  --axes 1|2, --size W[,H]           axes and sizes (from NAXIS, NAXIS1, NAXIS2)\n"
      "  --rows N                           rows a one-axis image is shown with\n"
      "  --fixed N | --separator TEXT | --tab  N-byte fields, fields cut at any character\n"
      "                                     of TEXT, or at tabs\n"
      "  --order rows|columns               numbers fill rows or columns first\n"
      "  --line-ends delimit|ignore         line ends end a number, or are skipped\n"
      "  --kind image|spectrum, --dispaxis N, --column N  spectral data (the column read\n"
      "                                     when each pixel has several numbers)\n"
      "  --bscale X, --bzero X, --author T  (from BSCALE, BZERO and AUTHOR)\n"
      "\n"
      "Reading options (info, header, convert, render, wcs):\n"
      "  --planes gray:N | rgb:R,G,B        planes of a FITS cube, counted from 1 (without\n"
      "                                     it: plane 1, or red, green, blue for RGB files)\n"
      "  --raw W,H,BITS[,gray|rgb][,header=N][,ibm|mac][,signed|unsigned]\n"
      "                                     layout of a headerless .raw file (BITS 8, 16, 32;\n"
      "                                     -32, -64 for real data)\n"
      "  --hdu N | NAME | NAME,VER          the image unit of a FITS file of several (without\n"
      "                                     it: the first image; IN[N], IN[NAME,VER] as well)\n"
      "  IN may end in <USF> to read a FITS file's integers as unsigned.\n"
      "  FITS files may be gzip-packed (.gz) or tile-compressed (.fz); OUT ending in .gz\n"
      "  or .fz saves them so (RICE, lossless for integers).\n"
      "\n"
      "Saving options (convert; each only for the formats named):\n"
      "  --bits N                           FITS: 8, 16, 32, -32, -64; TIFF, PNG: 8 or 16\n"
      "  --fit clip|compress                FITS, SBIG: what to do with data that do not fit\n"
      "                                     the integer type (asked only when they do not)\n"
      "  --quality 1..10                    JPEG quality (10 best)\n"
      "  --progressive, --no-progressive    JPEG: progressive coding or not\n"
      "  --compression none|lzw|packbits    TIFF compression\n"
      "  --compression sbig|none            SBIG: compressed rows or not\n"
      "  --byte-order ibm|mac               TIFF byte order (little- or big-endian)\n"
      "  --interlace, --no-interlace        PNG: Adam7 interlace or not\n"
      "  --png-level 1..10                  PNG compression level\n"
      "  A format's options not given take the values stored in the settings (section\n"
      "  IO, as the program's save dialogs left them). Flags hold for this run only:\n"
      "  vantorel-cli never stores them (the --raw layout included).\n"
      "\n"
      "Header cards (header and every command that saves FITS: convert, import, phot,\n"
      "detect, centroid, crop, rotate, flip, resample, shift, calibrate, stack, join,\n"
      "overscan, solve):\n"
      "  --keep-cards                       keywords the header composition does not place\n"
      "                                     (FILTER, GAIN, IMAGETYP, ...) stay live cards\n"
      "                                     before the parameter block; cards that are not\n"
      "                                     valid FITS and keywords of the data's size and\n"
      "                                     world coordinates are still commented out\n"
      "  --no-keep-cards                    comment them out under the banner (the default)\n"
      "  Without either, the setting KeepCards of section IO decides (the environment\n"
      "  dialog's box).\n"
      "\n"
      "Exit status: 0 success, 1 failure (the reason on standard error), 2 misuse.\n"
      "Progress goes to standard error: percentages on a terminal, a line per step otherwise.\n"
      "\n"
      "Options:\n"
      "  --default-settings                 read every setting as its default\n"
      "  --threads N                        threads for per-row work, 1 to 8 (default: one per\n"
      "                                     processor); the results do not depend on it\n",
      out);
}

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};

constexpr Command kCommands[] = {
    {"settings", SettingsCommand},   {"info", InfoCommand},
    {"header", HeaderCommand},       {"convert", ConvertCommand},
    {"render", RenderCommand},       {"wcs", WcsCommand},
    {"import", ImportCommand},       {"phot", PhotCommand},
    {"profile", ProfileCommand},     {"crop", CropCommand},
    {"rotate", RotateCommand},       {"flip", FlipCommand},
    {"resample", ResampleCommand},   {"shift", ShiftCommand},
    {"detect", DetectCommand},       {"centroid", CentroidCommand},
    {"calibrate", CalibrateCommand}, {"stack", StackCommand},
    {"join", JoinCommand},
    {"overscan", OverscanCommand},   {"lightcurve", LightcurveCommand},
    {"solve", SolveCommand},
};

// The commands that write a FITS header: every command that saves an image, and header,
// which prints what a save writes.
bool SavesFitsHeader(const std::string& name) {
  for (const char* c :
       {"header", "convert", "import", "phot", "detect", "centroid", "crop", "rotate", "flip",
        "resample", "shift", "calibrate", "stack", "join", "overscan", "solve"})
    if (name == c) return true;
  return false;
}

const Command* Find(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl+C, a hang-up or a kill while saving must not leave a half-written temporary
  // beside the target; a save beyond ulimit -f must fail with a message, not kill us.
  InstallSaveSignalCleanup();
  SetApplicationTitle("Vantorel");
  std::vector<std::string> args(argv + 1, argv + argc);
  while (!args.empty() && (args.front() == "--default-settings" || args.front() == "--threads")) {
    if (args.front() == "--threads") {
      // The threads that share per-row work; the results are the same for any number.
      char* end = nullptr;
      const long n = args.size() > 1 ? std::strtol(args[1].c_str(), &end, 10) : 0;
      if (args.size() < 2 || args[1].empty() || *end || n < 1 || n > 8) {
        std::fputs("vantorel-cli: --threads takes a whole number from 1 to 8\n", stderr);
        return 2;
      }
      rowpool::SetThreads(static_cast<int>(n));
      args.erase(args.begin());
    } else {
      CRegistry::SetDefaultSettings(true);
    }
    args.erase(args.begin());
  }
  if (args.empty()) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  // The flags of one run answer the dispatcher's questions; they must not become the
  // first answers of the program's dialogs or of later runs.
  CRalImageIO::SetRememberAnswers(false);
  // Only "settings set" and "settings delete" change the settings; every other command
  // reads them and so must neither write them nor wait for another process's lock on
  // them (the pager, for one, would otherwise record its memory budget).
  CRegistry::SetReadOnly(command != "settings");
  SetSettingsLockWaitHandler([](const std::string& lockPath, bool waiting) {
    if (waiting)
      std::fprintf(stderr,
                   "vantorel-cli: waiting for the settings lock held by another process: %s\n",
                   lockPath.c_str());
  });
  const auto isHelp = [](const std::string& a) { return a == "--help" || a == "-h"; };
  const auto unknown = [](const std::string& name) {
    std::fprintf(stderr, "vantorel-cli: unknown command '%s' (try --help)\n", name.c_str());
    return 2;
  };
  // "--help", "help" and "--help COMMAND", "help COMMAND": the usage, which covers every
  // command's options; a command that does not exist is named as unknown.
  if (isHelp(command) || command == "help") {
    if (!args.empty() && !isHelp(args.front()) && !Find(args.front())) return unknown(args.front());
    PrintUsage(stdout);
    return 0;
  }
  if (command == "--version") {
    std::puts("vantorel-cli 2.0.0");
    return 0;
  }
  const Command* found = Find(command);
  if (!found) return unknown(command);
  // "COMMAND ... --help" answers with the usage too.
  if (std::find_if(args.begin(), args.end(), isHelp) != args.end()) {
    PrintUsage(stdout);
    return 0;
  }
  if (SavesFitsHeader(command)) {
    // Whether unplaced header cards stay live: one answer for every file the command
    // saves, taken out of the arguments before the command parses its own.
    for (auto it = args.begin(); it != args.end();) {
      if (*it == "--keep-cards" || *it == "--no-keep-cards") {
        CFits::SetKeepCardsOverride(*it == "--keep-cards" ? 1 : 0);
        it = args.erase(it);
      } else {
        ++it;
      }
    }
  }
  return found->run(args);
}
