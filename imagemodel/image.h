// CImage: the one pixel image type. It carries the pixels of one or several planes in a
// paged store, the pixel type in the FITS BITPIX convention (8, 16, 32, -32, -64, with a
// signed flag for 16 and 32), the scaling to physical values (raw × BSCALE + BZERO), the
// blank value, display levels per plane, the world-coordinate attributes, the attributes
// of the file it came from, and the FITS header cards and extensions that travel with it.
// Colour images have three planes: red, green, blue.
//
// Operations that cannot get memory throw std::bad_alloc where noted; the others return
// 1 for success and 0 for failure. Progress goes to an optional ProgressSink.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imagemodel/fitsheader.h"
#include "imagemodel/fitskept.h"
#include "imagemodel/pixelfold.h"
#include "imagemodel/vmimage.h"

class ProgressSink;

// Row 1 column 1, row 1 column 2, row 2 column 1, row 2 column 2.
struct tagMATRIX2_2 {
  double m11 = 1.0, m12 = 0.0, m21 = 0.0, m22 = 1.0;
  bool operator==(const tagMATRIX2_2&) const = default;
};

// Projection parameters 0 to 3 of axis 1 (row 0) and of axis 2 (row 1).
struct tagMATRIX2_4 {
  double m[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  bool operator==(const tagMATRIX2_4&) const = default;
};

// Where the pixels of an image read from a FITS file lie in that file: the data array of
// every plane, in the file's own pixel type, scaling and blank value, rows in file order.
struct StoredDataUnit {
  std::shared_ptr<const CFitsSourceFile> file;
  std::uint64_t offset = 0;  // first byte of the data array
  std::uint64_t length = 0;  // bytes of the data array, padding not counted
  int bits = 0;              // the file's BITPIX
  double bscale = 1.0;
  double bzero = 0.0;
  int blankUsed = 0;      // the file declares a blank value
  int blank = 0;          // ... this one
  bool anyBlank = false;  // some pixel holds it
  int bottomUp = 0;       // the reader put the first file row at the last image row
};

// Flags of GetImageAdr.
inline constexpr int IMG_READONLY = 1;  // the block is not marked modified
inline constexpr int IMG_LOCK = 2;      // pin the block and return its lock token

class CImage {
 public:
  CImage();
  // A new image of the given geometry and scaling with every level 0.0. Throws
  // std::bad_alloc when the store cannot be had.
  CImage(int bits, int width, int height, int planes, double bscale, double bzero, int isSigned,
         ProgressSink* progress = nullptr, const std::string& caption = {});
  // A deep copy. Throws std::bad_alloc.
  CImage(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  CImage& operator=(const CImage& src);
  virtual ~CImage();

  // ---- lifetime and copies
  // Becomes an 8-bit image of one plane (grey) or three (red, green, blue) made from a copy
  // of a packed bitmap of 1, 4, 8, 16 (5-5-5, or bit fields), 24 or 32 bits, run-length
  // decoded first; levels 0 to 255 and the own-level flag. 0 for a bitmap that cannot be
  // decoded or has another depth; throws std::bad_alloc when the store cannot be had.
  int AttachDIB(const std::vector<std::uint8_t>& dib, ProgressSink* progress = nullptr,
                const std::string& caption = {});
  // Replaces the store by a new one of the current geometry; 0 (store kept) on failure.
  // Its pixels are zeros, or, when cleared is false (for a caller that writes every one
  // of them), whatever the memory held.
  int AllocImage(ProgressSink* progress = nullptr, const std::string& caption = {},
                 bool cleared = true);
  // Deletes the store, the level arrays and every header card; attributes remain.
  void Empty();
  // Empties the image, drops its extensions (kept ones too) and sets every attribute to
  // its default.
  void Clear();
  // Deep copy of pixels, levels, header, extensions and attributes (kept extensions share
  // their bytes with the source's). Throws std::bad_alloc
  // after releasing what it allocated and deleting the header cards.
  CImage& CopyImage(const CImage& src, ProgressSink* progress = nullptr,
                    const std::string& caption = {});
  // Like CopyImage but the pixel values are not copied. Throws std::bad_alloc.
  int Create(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  // Exchanges store, levels, header, extensions and the shared attributes.
  void Swap(CImage& other);
  // New store of another size, pixel values not carried over; 0 (unchanged) on failure.
  int ChangeSize(int width, int height, ProgressSink* progress = nullptr,
                 const std::string& caption = {});
  // New store with another plane count and fresh levels. Throws std::bad_alloc.
  int ChangePlanes(int planes, ProgressSink* progress = nullptr, const std::string& caption = {});

  // ---- pixels
  bool IsEmpty() const { return !m_pStore; }
  void* GetImageAdr(int x, int y, int plane = 0, int flags = 0, int* lockToken = nullptr);
  const void* GetImageAdr(int x, int y, int plane = 0) const;
  void Unlock(int lockToken);
  void UnlockAll();
  void* GetNextAdr(void* p) const { return static_cast<std::uint8_t*>(p) + GetBytesPixel(); }
  void* GetPrevAdr(void* p) const { return static_cast<std::uint8_t*>(p) - GetBytesPixel(); }
  // Physical value at an address, by the pixel type; 0.0 for an unknown type. A blank
  // pixel (an integer type's stored blank value) reads as NaN.
  double GetPixel(const void* address) const;
  // Physical value of a pixel; 0.0 when it cannot be read.
  double GetPixel(int x, int y, int plane = 0) const;
  // Physical values of one row, blank pixels as NaN; 0 when the row cannot be read.
  int GetPhysicalRow(int y, int plane, double* out) const;
  // Stores physical values into one row through the inverse scaling; integer types are
  // rounded to nearest and clamped to their range, NaN becoming the blank value when one
  // is in use. 0 when the row cannot be reached.
  int SetPhysicalRow(int y, int plane, const double* values);
  // The same two conversions on a row whose address the caller already holds (pinned, for
  // one, by CRowPins), so that pool threads can convert rows without asking the pager.
  int GetPhysicalRowAt(const void* row, double* out) const;
  int SetPhysicalRowAt(void* row, const double* values) const;
  std::uint64_t GetImageSize() const;
  std::uint64_t GetPixelCount() const;
  bool IsOnMemory() const { return !m_pStore || m_pStore->IsOnMemory(); }
  CVmImage* GetStore() const { return m_pStore.get(); }

  // ---- unchanged since read
  // Marks the pixels as the values of a data unit the reader has just read them from.
  // The mark holds while the store is the same one and none of its blocks was handed out
  // for writing, and the pixel type, geometry, scaling and the original type, scaling and
  // blank value stay as they were; every copy, Swap and Empty drop it. A writer that
  // finds it may copy the data unit instead of converting the pixels back.
  void MarkUnchangedSince(StoredDataUnit unit);
  // The data unit the pixels still equal, or null; also null when the source file no
  // longer looks as it did when it was read.
  const StoredDataUnit* GetUnchangedSource() const;
  void ClearUnchanged() { m_pUnchanged.reset(); }

  // ---- pixel type, geometry, scaling
  int GetBitsPixel() const { return m_nBitsPixel; }
  void SetBitsPixel(int bits) { m_nBitsPixel = bits; }
  int GetBytesPixel() const { return (m_nBitsPixel < 0 ? -m_nBitsPixel : m_nBitsPixel) / 8; }
  int IsSigned() const { return m_bSigned; }
  void SetSigned(int s) { m_bSigned = s; }
  int GetDimension() const { return m_nDimension; }
  bool IsColor() const { return m_nDimension > 2; }
  int GetWidth() const { return m_nWidth; }
  void SetWidth(int w) { m_nWidth = w; }
  int GetHeight() const { return m_nHeight; }
  void SetHeight(int h) { m_nHeight = h; }
  int GetPlanes() const { return m_nPlanes; }
  void SetPlanes(int planes) {
    m_nPlanes = planes;
    m_nDimension = planes > 1 ? 3 : 2;
  }
  double GetBscale() const { return m_dBscale; }
  void SetBscale(double v) { m_dBscale = v; }
  double GetBzero() const { return m_dBzero; }
  void SetBzero(double v) { m_dBzero = v; }
  int IsBlankUsed() const { return m_bBlankUsed; }
  void SetBlankUsed(int b) { m_bBlankUsed = b; }
  int GetBlank() const { return m_nBlank; }
  void SetBlank(int v) { m_nBlank = v; }
  int GetExtend() const { return m_bExtend; }
  void SetExtend(int v) { m_bExtend = v; }

  // ---- world coordinates (axes 0 and 1)
  void SetDispAxis(int axis) { m_nDispAxis = axis; }
  bool GetDispAxis(int* axis) const;
  void SetCType(int axis, std::string_view type);
  void SetType(std::string_view type, int axis) { SetCType(axis, type); }
  bool GetCType(int axis, std::string* type) const;
  void SetCUnit(int axis, std::string_view unit);
  bool GetCUnit(int axis, std::string* unit) const;
  // Takes the 1-based FITS reference pixel and stores it 0-based.
  void SetCRPix(int axis, double x);
  // The 1-based reference pixel and true, or 1.0 and false when none was given.
  bool GetCRPix(int axis, double* x) const;
  void SetCRVal(int axis, double v);
  bool GetCRVal(int axis, double* v) const;
  void SetCDelt(int axis, double v);
  bool GetCDelt(int axis, double* v) const;
  void SetLTMtx(const tagMATRIX2_2& m, int kind);
  // Returns the kind; the identity when the kind is 0.
  int GetLTMtx(tagMATRIX2_2* m) const;
  void ClearLTMtx() { m_nLTKind = 0; }
  bool IsWCS() const { return m_nLTKind == 1 || m_nLTKind == 2; }
  void SetPVMtx(const tagMATRIX2_4& m, int given);
  int GetPVMtx(tagMATRIX2_4* m) const;
  void ClearPVMtx();
  void SetLonPole(double v);
  double GetLonPole() const { return m_dLonPole; }
  bool IsLonPole() const { return m_bLonPole != 0; }
  void SetLatPole(double v);
  double GetLatPole() const { return m_dLatPole; }
  bool IsLatPole() const { return m_bLatPole != 0; }
  void SetRestFreq(int i, double v);
  int GetRestFreq(int i, double* v) const;
  void SetRestWav(int i, double v);
  int GetRestWav(int i, double* v) const;
  void SetAuthor(std::string_view author);
  int GetAuthor(std::string* author) const;
  // Clears the axis attributes: a negative n clears the display axis, both
  // reference-pixel flags and the matrix kind, then axis 0; otherwise axes 0 to n-1.
  void ClearPhysicalCoord(int n);
  // Every world-coordinate attribute of src, values and given flags, becomes this
  // image's: display axis, axis types and units, reference pixel and value, increments,
  // linear matrix and kind, projection parameters, poles, rest frequencies and
  // wavelengths, and the CD and PC conventions with their matrices.
  void CopyWorldCoordinates(const CImage& src);
  void SetTolvenaPC(int used) { m_bTolvenaPC = used; }
  int UsedTolvenaPC() const { return m_bTolvenaPC; }
  void SetPC(int used) { m_bPC = used; }
  int UsedPC() const { return m_bPC; }
  void SetCD(int used) { m_bCD = used; }
  int UsedCD() const { return m_bCD; }
  void SetTolvenaPCMtx(const tagMATRIX2_2& m) { m_TolvenaPCMtx = m; }
  void GetTolvenaPCMtx(tagMATRIX2_2* m) const { *m = m_TolvenaPCMtx; }
  void SetPCMtx(const tagMATRIX2_2& m) { m_PCMtx = m; }
  void GetPCMtx(tagMATRIX2_2* m) const { *m = m_PCMtx; }
  void SetCDMtx(const tagMATRIX2_2& m) { m_CDMtx = m; }
  void GetCDMtx(tagMATRIX2_2* m) const { *m = m_CDMtx; }

  // ---- display levels, one entry per plane
  double GetLevelMin(int p) const { return At(m_LevelMin, p); }
  double GetLevelMax(int p) const { return At(m_LevelMax, p); }
  double GetLevelRange(int p) const { return At(m_LevelRange, p); }
  bool HasLevel() const { return !m_LevelMin.empty(); }
  // Minimum and maximum, with maximum forced to minimum + 1 when not above it.
  void SetLevel(int p, double min, double max);
  void SetLevelMin(int p, double min);
  void SetLevelMax(int p, double max);
  // Fresh arrays: minimum 0, maximum 1, range 1. 0 when memory runs out.
  int AllocLevel();
  // Levels from each plane's data minimum and maximum.
  int SetDefaultLevel();
  double GetOrgDefaultLevelMin(int p) const { return At(m_OrgLevelMin, p); }
  double GetOrgDefaultLevelMax(int p) const { return At(m_OrgLevelMax, p); }
  void SetOrgDefaultLevel(int p, double min, double max);
  int AllocOrgDefaultLevel();
  int HasOwnLevel() const { return m_bOwnLevel; }
  void SetOwnLevel(int v) { m_bOwnLevel = v; }
  // Smallest and largest physical value of plane p, or of all planes when p < 0;
  // blank pixels and NaN are skipped. Returns 0 when a row cannot be read.
  int GetMinMax(int p, double* min, double* max) const;
  // The same, and whether any pixel is blank or NaN (looked for only when anyBlank is
  // given). min and max may be null.
  int ScanRange(int p, double* min, double* max, bool* anyBlank) const;

  // ---- pixel type conversion
  // Converts to another pixel type. mode: 0 raw, 2 scaled by the display levels, 3 scaled
  // by the data range, other values raw when the levels fit the type, else scaled.
  int ChangeBits(int bits, int isSigned, int mode, ProgressSink* progress = nullptr,
                 const std::string& caption = {});
  // This image becomes a copy of src (as CopyImage) converted to another pixel type (as
  // ChangeBits), without the intermediate copy at the source's type. 0 when memory runs
  // out or a row cannot be reached. With nanAsBlank an integer result writes blank
  // pixels (NaN) as a blank value that no data pixel takes (the source's original blank
  // when it is free), as FITS files keep them; otherwise NaN goes to the lowest value.
  int CopyImageAs(const CImage& src, int bits, int isSigned, int mode,
                  ProgressSink* progress = nullptr, const std::string& caption = {},
                  int nanAsBlank = 0);
  // The attributes only the copy constructor carries (colour order, author; not LONPOLE),
  // for a copy made by CopyImage or CopyImageAs that stands in for a constructed one.
  void ApplyCopyConstructorRules(const CImage& src);
  // Converts to a type with the given scaling: raw = (physical − bzero) / bscale, rounded
  // to nearest for integer types. Returns 0 and leaves the image unchanged when a value
  // does not fit the type, a NaN meets an integer type, or memory runs out. Used to write
  // data back with the scaling they came with, so that an unchanged pixel keeps its exact
  // stored value.
  int ChangeBitsScaled(int bits, int isSigned, double bscale, double bzero,
                       ProgressSink* progress = nullptr, const std::string& caption = {});
  // This image becomes a copy of src converted as ChangeBitsScaled would; with nanAsBlank
  // NaN becomes the source's original blank value (else the type's lowest value), and a
  // data pixel that would take that value fails the conversion.
  int CopyImageScaled(const CImage& src, int bits, int isSigned, double bscale, double bzero,
                      ProgressSink* progress = nullptr, const std::string& caption = {},
                      int nanAsBlank = 0);
  // Whether this image converts into the given type and scaling as CopyImageScaled
  // would (same rules, same blank value), without making the copy: 1 and the stored form
  // (blankUsed set when blank pixels need the blank value), or 0 when it does not fit or
  // a row cannot be read. A writer then stores the rows itself with StoreRow.
  int CheckStoredForm(int bits, int isSigned, double bscale, double bzero, int nanAsBlank,
                      StoredForm* form, ProgressSink* progress = nullptr,
                      const std::string& caption = {}) const;
  // Stores one row of this image's pixels (in, GetWidth() pixels of its type) in a stored
  // form: raw = (physical − bzero) / bscale, rounded to nearest for integer types, NaN as
  // the form's blank value. Tells whether a value fell outside the type, whether NaN was
  // met and whether a data value took the blank value. Safe to call from several
  // threads on different rows.
  int StoreRow(const void* in, const StoredForm& form, void* out, bool* outside = nullptr,
               bool* nan = nullptr, bool* taken = nullptr) const;
  // Folds the scaling into the pixels: the image becomes a real image of its physical
  // values (BSCALE 1, BZERO 0), blank pixels NaN. bits -32 takes 32-bit floats when they
  // hold the values exactly (FloatsHoldValues), else 64-bit doubles; -64 takes doubles.
  // The scaling and blank value folded are kept as the original scaling and blank, with
  // which a plain save writes the stored values back. 0 when memory runs out or a row
  // cannot be read; the image is then unchanged.
  int FoldPhysical(int bits, ProgressSink* progress = nullptr, const std::string& caption = {});
  // 1 when 32-bit floats hold every physical value exactly: the value is a float, or the
  // stored value comes back from the float through the inverse scaling; 0 when not; -1
  // when a row cannot be read.
  int FloatsHoldValues() const;
  // Whether the raw conversion to an integer type flattens the data, whose smallest and
  // largest values (GetMinMax) are lo and hi: a non-constant image becoming constant, or
  // data of many distinct values keeping only a handful.
  bool RawConversionFlattens(int bits, int isSigned, double lo, double hi) const;
  bool IsBitsChangeable(int bits, int isSigned) const;
  bool IsBitsChangeableRaw(int bits, int isSigned, const double* minima,
                           const double* maxima, int count) const;

  // ---- file and interface state
  int IsSaveableFormat() const { return m_bSaveableFormat; }
  void SetSaveableFormat(int v) { m_bSaveableFormat = v; }
  int IsSaveableFile() const { return m_bSaveableFile; }
  void SetSaveableFile(int v) { m_bSaveableFile = v; }
  int IsOverwriteAllowed() const { return m_bOverwriteAllowed; }
  void SetOverwriteAllowed(int v) { m_bOverwriteAllowed = v; }
  int IsSITypeRGB() const { return m_bSITypeRGB; }
  void SetSITypeRGB(int v) { m_bSITypeRGB = v; }
  const std::string& GetOrgFileName() const { return m_strOrgFileName; }
  void SetOrgFileName(std::string_view s) { m_strOrgFileName = std::string(s); }
  const std::string& GetOrgFileFormat() const { return m_strOrgFileFormat; }
  void SetOrgFileFormat(std::string_view s) { m_strOrgFileFormat = std::string(s); }
  int GetOrgBitsPixel() const { return m_nOrgBitsPixel; }
  void SetOrgBitsPixel(int v) { m_nOrgBitsPixel = v; }
  int GetOrgPlanes() const { return m_nOrgPlanes; }
  void SetOrgPlanes(int v) { m_nOrgPlanes = v; }
  int GetOrgWidth() const { return m_nOrgWidth; }
  void SetOrgWidth(int v) { m_nOrgWidth = v; }
  int GetOrgHeight() const { return m_nOrgHeight; }
  void SetOrgHeight(int v) { m_nOrgHeight = v; }
  // The BSCALE and BZERO of the file, kept when they are folded into the pixel values.
  void SetOrgScaling(double bscale, double bzero) {
    m_dOrgBscale = bscale;
    m_dOrgBzero = bzero;
    m_bOrgScaling = 1;
  }
  bool GetOrgScaling(double* bscale, double* bzero) const {
    if (bscale) *bscale = m_dOrgBscale;
    if (bzero) *bzero = m_dOrgBzero;
    return m_bOrgScaling != 0;
  }
  void ClearOrgScaling() {
    m_dOrgBscale = 1.0;
    m_dOrgBzero = 0.0;
    m_bOrgScaling = 0;
  }
  // The blank value of the file, kept when its blank pixels were folded into NaN.
  void SetOrgBlank(int used, int blank) {
    m_bOrgBlank = used;
    m_nOrgBlank = used ? blank : 0;
  }
  int GetOrgBlank(int* blank) const {
    if (blank) *blank = m_nOrgBlank;
    return m_bOrgBlank;
  }
  const std::string& GetUndoDialogName() const { return m_strUndoDialogName; }
  void SetUndoDialogName(std::string_view s) { m_strUndoDialogName = std::string(s); }
  int GetUndoMode() const { return m_nUndoMode; }
  void SetUndoMode(int v) { m_nUndoMode = v; }
  int GetContourMap() const { return m_bContourMap; }
  void SetContourMap(int v) { m_bContourMap = v; }
  int GetFirstFitsHeight() const { return m_nFirstFitsHeight; }
  void SetFirstFitsHeight(int v) { m_nFirstFitsHeight = v; }
  int GetFirstFits() const { return m_bFirstFits; }
  void SetFirstFits(int v) { m_bFirstFits = v; }
  int GetLogScale() const { return m_bLogScale; }
  void SetLogScale(int v) { m_bLogScale = v; }

  CFitsHeader m_FitsHeader;
  // The extensions the reader interprets (the system's own tables, nameless ones, a
  // table a cube plane takes its world coordinates from) and those the measurement tools
  // attach. The measurement tools look here.
  std::vector<CFitsExtension> m_FitsExtensions;
  // Every other extension of the file, in file order, carried unread so that a save
  // writes it back unchanged (after the ones above). Copies share their bytes.
  std::vector<CFitsKeptExtension> m_KeptExtensions;

 private:
  static double At(const std::vector<double>& v, int p) {
    return p >= 0 && static_cast<std::size_t>(p) < v.size() ? v[static_cast<std::size_t>(p)]
                                                            : 0.0;
  }
  static bool AxisOk(int axis) { return axis == 0 || axis == 1; }
  // Applies f to each pair of the attributes that every copy and Swap carry.
  template <typename Other, typename F>
  static void ForEachSharedAttribute(CImage& a, Other& b, F f);
  void CopySharedAttributes(const CImage& src);
  void EnsureLevels();
  std::unique_ptr<CVmImage> NewStore(int bits, int width, int height, int planes,
                                     ProgressSink* progress, const std::string& caption,
                                     bool cleared = true) const;
  void CopyFrom(const CImage& src, bool pixels, ProgressSink* progress,
                const std::string& caption);
  // Reads every row's raw values of src and hands them with the matching row of store to
  // writeRow, reporting progress by rows. False when a row cannot be reached.
  template <typename WriteRow>
  static bool ConvertRows(const CImage& src, CVmImage& store, ProgressSink* progress,
                          const std::string& caption, WriteRow writeRow);
  // Conversions of src's pixels into a new store that becomes this image's. src may be
  // this image; on failure this image is unchanged.
  int ConvertFrom(const CImage& src, int bits, int isSigned, int mode, bool nanAsBlank,
                  ProgressSink* progress, const std::string& caption);
  int ConvertToInteger(const CImage& src, int bits, int isSigned, int mode, bool nanAsBlank,
                       ProgressSink* progress, const std::string& caption);
  int ConvertToReal(const CImage& src, int bits, int isSigned, ProgressSink* progress,
                    const std::string& caption);
  int ConvertScaled(const CImage& src, int bits, int isSigned, double bscale, double bzero,
                    bool nanAsBlank, ProgressSink* progress, const std::string& caption);
  void InstallConverted(const CImage& src, std::unique_ptr<CVmImage> store, int bits,
                        int isSigned, double bscale, double bzero, int blankUsed, int blank);

  // What MarkUnchangedSince saw, against which the image is compared when asked.
  struct UnchangedMark {
    StoredDataUnit unit;
    std::uint64_t serial = 0;
    std::uint64_t writes = 0;
    int bits = 0, isSigned = 0, width = 0, height = 0, planes = 0, firstFits = 0;
    double bscale = 1.0, bzero = 0.0;
    int blankUsed = 0;
    int orgBits = 0, orgScaling = 0, orgBlankUsed = 0, orgBlank = 0;
    double orgBscale = 1.0, orgBzero = 0.0;
  };
  std::shared_ptr<const UnchangedMark> m_pUnchanged;

  std::unique_ptr<CVmImage> m_pStore;
  int m_nBitsPixel = 0;
  int m_bSigned = 1;
  int m_nDimension = -1;
  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_nPlanes = 0;
  double m_dBscale = 1.0;
  double m_dBzero = 0.0;
  int m_bBlankUsed = 0;
  int m_nBlank = 0;
  int m_bExtend = 0;
  int m_nDispAxis = 0;
  std::array<std::string, 2> m_strCType;
  std::array<std::string, 2> m_strCUnit;
  std::array<double, 2> m_dCRPix{1, 1};  // 1-based, as FITS counts
  std::array<int, 2> m_bCRPix{0, 0};
  std::array<double, 2> m_dCRVal{0, 0};
  std::array<int, 2> m_bCRVal{0, 0};
  std::array<double, 2> m_dCDelt{1.0, 1.0};
  std::array<int, 2> m_bCDelt{0, 0};
  tagMATRIX2_2 m_LTMtx;
  int m_nLTKind = 0;
  tagMATRIX2_4 m_PVMtx;
  int m_bPVMtx = 0;
  double m_dLonPole = 0;
  int m_bLonPole = 0;
  double m_dLatPole = 0;
  int m_bLatPole = 0;
  std::array<double, 2> m_dRestFreq{0, 0};
  std::array<int, 2> m_bRestFreq{0, 0};
  std::array<double, 2> m_dRestWav{0, 0};
  std::array<int, 2> m_bRestWav{0, 0};
  std::string m_strAuthor;
  int m_bAuthor = 0;
  std::vector<double> m_LevelMin, m_LevelMax, m_LevelRange;
  std::vector<double> m_OrgLevelMin, m_OrgLevelMax;
  int m_bOwnLevel = 0;
  int m_bSaveableFormat = 0;
  int m_bSaveableFile = 0;
  int m_bOverwriteAllowed = 1;
  int m_bSITypeRGB = 0;
  std::string m_strOrgFileName;
  std::string m_strOrgFileFormat;
  int m_nOrgBitsPixel = 0;
  int m_nOrgPlanes = 0;
  int m_nOrgWidth = 0;
  int m_nOrgHeight = 0;
  double m_dOrgBscale = 1.0;
  double m_dOrgBzero = 0.0;
  int m_bOrgScaling = 0;
  int m_bOrgBlank = 0;
  int m_nOrgBlank = 0;
  std::string m_strUndoDialogName;
  int m_nUndoMode = 0;
  int m_bContourMap = 0;
  int m_nFirstFitsHeight = 0;
  int m_bFirstFits = 0;
  int m_bTolvenaPC = 0;
  int m_bPC = 0;
  int m_bCD = 0;
  tagMATRIX2_2 m_TolvenaPCMtx;
  tagMATRIX2_2 m_PCMtx;
  tagMATRIX2_2 m_CDMtx;
  int m_bLogScale = 0;
};

// Pins the block of one row for as long as it lives, so the address stays valid while
// other blocks page in and out.
class CPixelLock {
 public:
  CPixelLock(CImage& image, int x, int y, int plane, int flags = 0)
      : m_Image(image),
        m_pAddress(image.GetImageAdr(x, y, plane, flags | IMG_LOCK, &m_nToken)) {}
  ~CPixelLock() {
    if (m_pAddress) m_Image.Unlock(m_nToken);
  }
  CPixelLock(const CPixelLock&) = delete;
  CPixelLock& operator=(const CPixelLock&) = delete;
  void* get() const { return m_pAddress; }
  explicit operator bool() const { return m_pAddress != nullptr; }

 private:
  CImage& m_Image;
  int m_nToken = -1;
  void* m_pAddress;
};
