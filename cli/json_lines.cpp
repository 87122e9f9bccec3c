// The --json output of phot, detect, centroid, profile, stack and calibrate.
#include "cli/json_lines.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "fits/headeredit.h"
#include "graph/graph2ddata.h"
#include "imagemodel/image.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "measure/positioning.h"

std::optional<std::string> ObservationDate(const CImage& image) {
  const int i = image.m_FitsHeader.Find("DATE-OBS");
  if (i < 0) return std::nullopt;
  const headeredit::CardParts parts = headeredit::ParseCard(image.m_FitsHeader.GetAt(i));
  if (!parts.valued || parts.value.empty()) return std::nullopt;
  return parts.value;
}

bool CheckJsonOrCsv(const char* command, bool json, bool csv) {
  if (!(json && csv)) return true;
  std::fprintf(stderr, "vantorel-cli: %s: give --json or --csv, not both\n", command);
  return false;
}

void BeginJsonRecord(JsonWriter& w, const std::string& file,
                     const std::optional<std::string>& date) {
  w.BeginObject().Key("file").String(file).Key("date_obs");
  if (date)
    w.String(*date);
  else
    w.Null();
}

namespace {

// The mean of a mark's pixels; NaN (null) when it has none.
double Mean(const CApertureMark& m) {
  return m.m_nPixels ? m.m_dTotal / m.m_nPixels : std::nan("");
}

void Line(JsonWriter& w, std::string* out) {
  w.EndObject();
  *out += w.Take();
  out->push_back('\n');
}

}  // namespace

std::string PhotJsonLines(CAperture& aperture, const CApertureRect& rects, const std::string& file,
                          const CImage& image) {
  const std::optional<std::string> date = ObservationDate(image);
  std::string out;
  JsonWriter w;
  aperture.UpdateItems();
  const int items = aperture.GetItemCount();
  for (int row = 0; row < items; ++row) {
    const CApertureItem& item = aperture.GetItem(row);
    if (item.m_nKind != CApertureItem::STAR) continue;
    const CApertureMark& star = aperture.GetMark(item.m_nMark);
    // The SKY mark and the result of the RESULT row that follow this STAR row.
    const CApertureMark* sky = nullptr;
    double result = std::nan("");
    for (int k = row + 1; k < items; ++k) {
      const CApertureItem& next = aperture.GetItem(k);
      if (next.m_nKind == CApertureItem::STAR) break;
      if (next.m_nKind == CApertureItem::SKY && !sky) sky = &aperture.GetMark(next.m_nMark);
      if (next.m_nKind == CApertureItem::RESULT) result = next.m_dResult;
    }
    BeginJsonRecord(w, file, date);
    w.Key("kind").String("aperture").Key("number").Integer(item.m_nNumber);
    w.Key("x").Number(PhotShownX(star.m_dCx)).Key("y").Number(PhotShownY(image, star.m_dCy));
    w.Key("radius").Number(star.m_dOuterX);
    w.Key("star_pixels").Integer(star.m_nPixels).Key("star_total").Number(star.m_dTotal);
    w.Key("star_mean").Number(Mean(star)).Key("star_sd").Number(star.m_dStdDev);
    if (sky) {
      w.Key("sky_x").Number(PhotShownX(sky->m_dCx));
      w.Key("sky_y").Number(PhotShownY(image, sky->m_dCy));
      w.Key("sky_inner").Number(sky->m_dInnerX);
      w.Key("sky_width").Number(sky->m_dOuterX - sky->m_dInnerX);
      w.Key("sky_pixels").Integer(sky->m_nPixels).Key("sky_total").Number(sky->m_dTotal);
      w.Key("sky_mean").Number(Mean(*sky)).Key("sky_sd").Number(sky->m_dStdDev);
    } else {
      for (const char* key : {"sky_x", "sky_y", "sky_inner", "sky_width", "sky_pixels", "sky_total",
                              "sky_mean", "sky_sd"})
        w.Key(key).Null();
    }
    w.Key("result").Number(result).Key("method").String(CAperture::MethodText(star.m_nMethod));
    Line(w, &out);
  }
  int number = 0;
  for (const CApertureRectItem* it : rects.LiveRows()) {
    BeginJsonRecord(w, file, date);
    w.Key("kind").String("rectangle").Key("number").Integer(++number);
    w.Key("left").Integer(it->m_nLeft + 1).Key("top").Number(PhotShownY(image, it->m_nTop));
    w.Key("right").Integer(it->m_nRight + 1);
    w.Key("bottom").Number(PhotShownY(image, it->m_nBottom));
    w.Key("pixels").Integer(it->m_nPixels).Key("total").Number(it->m_dTotal);
    w.Key("mean").Number(it->m_dMean).Key("min").Number(it->m_dMin);
    w.Key("max").Number(it->m_dMax);
    Line(w, &out);
  }
  return out;
}

std::string PositionJsonLines(const CPositioning& pos, const std::string& file,
                              const CImage& image) {
  const std::optional<std::string> date = ObservationDate(image);
  std::string out;
  JsonWriter w;
  int number = 0;
  for (int row = 0; row < pos.GetItemCount(); ++row) {
    const CPositioningItem& item = pos.GetItem(row);
    if (item.m_bDeleted) continue;
    const bool centroid = item.m_nMethod == CPositioningItem::CENTROID;
    BeginJsonRecord(w, file, date);
    w.Key("number").Integer(++number);
    w.Key("x").Number(PhotShownX(item.m_dX)).Key("y").Number(PhotShownY(image, item.m_dY));
    w.Key("method").String(centroid ? "CENTROID" : "SEARCH");
    // The measured area, 1-based; a centroid's also as its centre and half size.
    w.Key("left").Integer(item.m_nLeft + 1).Key("top").Number(PhotShownY(image, item.m_nTop));
    w.Key("right").Integer(item.m_nRight + 1);
    w.Key("bottom").Number(PhotShownY(image, item.m_nBottom));
    if (centroid) {
      w.Key("center_x").Integer((item.m_nLeft + item.m_nRight) / 2 + 1);
      w.Key("center_y").Number(PhotShownY(image, (item.m_nTop + item.m_nBottom) / 2));
      w.Key("radius").Integer((item.m_nRight - item.m_nLeft) / 2);
    } else {
      w.Key("center_x").Null().Key("center_y").Null().Key("radius").Null();
    }
    Line(w, &out);
  }
  return out;
}

std::string ProfileJsonLines(const CCtrlGraph2DCore& graph, const std::string& file,
                             const CImage& image) {
  const int line = graph.GetCurrent();
  const CCtrlGraph2DData* g = graph.GetGraphData(line);
  if (!g) return {};
  const std::optional<std::string> date = ObservationDate(image);
  const bool colour = !g->m_Value[1].empty();
  std::string name, unit;
  double probe = 0.0;
  const bool physical =
      !colour && graph.PhysicalAxis(&name, &unit) && graph.GetPhyVal(0.0, line, &probe);
  std::string out;
  JsonWriter w;
  const int n = g->m_nCount;
  for (int i = 0; i < n; ++i) {
    const double d = n > 1 ? i * g->m_dLength / (n - 1) : 0.0;
    const std::size_t k = static_cast<std::size_t>(i);
    BeginJsonRecord(w, file, date);
    w.Key("index").Integer(i).Key("distance").Number(d);
    w.Key("x").Number(graph.GetX(d, line) + 1.0).Key("y").Number(graph.ShownY(graph.GetY(d, line)));
    if (colour) {
      w.Key("luminance").Number(g->m_Value[0][k]).Key("r").Number(g->m_Value[1][k]);
      w.Key("g").Number(g->m_Value[2][k]).Key("b").Number(g->m_Value[3][k]);
    } else {
      w.Key("value").Number(g->m_Value[0][k]);
    }
    if (physical) {
      w.Key("physical").Number(graph.GetPhyVal(d, line, &probe) ? probe : std::nan(""));
      w.Key("physical_name").String(name).Key("physical_unit").String(unit);
    }
    Line(w, &out);
  }
  return out;
}

std::string BatchJsonLine(const std::string& file, const std::optional<std::string>& date,
                          const std::string& output, const std::vector<std::string>& inputs,
                          const std::function<void(JsonWriter&)>& settings) {
  JsonWriter w;
  BeginJsonRecord(w, file, date);
  w.Key("output").String(output).Key("inputs").BeginArray();
  for (const std::string& in : inputs) w.String(in);
  w.EndArray().Key("frames").Integer(static_cast<long long>(inputs.size()));
  w.Key("settings").BeginObject();
  if (settings) settings(w);
  w.EndObject();
  std::string out;
  Line(w, &out);
  return out;
}

bool WriteJsonLines(const char* command, const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return true;
  std::fprintf(stderr, "vantorel-cli: %s: cannot write standard output: %s\n", command,
               std::strerror(errno ? errno : EIO));
  return false;
}
