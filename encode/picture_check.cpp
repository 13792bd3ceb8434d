#include "encode/picture_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace brindle {

namespace {

using media::chroma_format;
using media::field_order;
using media::picture_properties;

// Sample aspect ratios are rounded differently by each writer.
constexpr int size_slack = 2;
// Frame rates written as 1/1000 s steps or as 29.97 for 30000/1001 differ by less than this.
constexpr double rate_slack = 0.01;

std::string chroma_text(chroma_format chroma) {
    switch (chroma) {
        case chroma_format::grey:
            return "grey";
        case chroma_format::yuv420:
            return "4:2:0";
        case chroma_format::yuv422:
            return "4:2:2";
        case chroma_format::yuv444:
            return "4:4:4";
        case chroma_format::unknown:
            break;
    }
    return "unknown";
}

std::string primaries_text(int code) {
    switch (code) {
        case 1:
            return "BT.709";
        case 2:
            return "unspecified";
        case 4:
            return "BT.470 M";
        case 5:
            return "BT.470 BG";
        case 6:
            return "SMPTE 170M";
        case 7:
            return "SMPTE 240M";
        case 9:
            return "BT.2020";
        case 11:
            return "DCI-P3";
        case 12:
            return "Display P3";
        default:
            return "code " + std::to_string(code);
    }
}

std::string transfer_text(int code) {
    switch (code) {
        case 1:
            return "BT.709";
        case 2:
            return "unspecified";
        case 6:
            return "SMPTE 170M";
        case 8:
            return "linear";
        case 13:
            return "sRGB";
        case 14:
            return "BT.2020 10-bit";
        case 15:
            return "BT.2020 12-bit";
        case 16:
            return "PQ (SMPTE 2084)";
        case 18:
            return "HLG";
        default:
            return "code " + std::to_string(code);
    }
}

std::string matrix_text(int code) {
    switch (code) {
        case 0:
            return "RGB";
        case 1:
            return "BT.709";
        case 2:
            return "unspecified";
        case 5:
            return "BT.470 BG";
        case 6:
            return "SMPTE 170M";
        case 9:
            return "BT.2020";
        case 10:
            return "BT.2020 constant";
        default:
            return "code " + std::to_string(code);
    }
}

std::string fields_text(field_order fields) {
    switch (fields) {
        case field_order::progressive:
            return "progressive";
        case field_order::top_first:
            return "interlaced, top field first";
        case field_order::bottom_first:
            return "interlaced, bottom field first";
        default:
            return "interlaced";
    }
}

double rate_of(const picture_properties& picture) {
    return static_cast<double>(picture.rate_num) / static_cast<double>(picture.rate_den);
}

void compare_size(const picture_properties& source, const picture_properties& result,
                  std::vector<std::string>& changes) {
    if (source.width <= 0 || result.width <= 0) return;
    if (std::abs(source.width - result.width) <= size_slack &&
        std::abs(source.height - result.height) <= size_slack) {
        return;
    }
    changes.push_back("the picture is " + std::to_string(result.width) + "x" +
                      std::to_string(result.height) + ", the source " +
                      std::to_string(source.width) + "x" + std::to_string(source.height));
}

void compare_rate(const picture_properties& source, const picture_properties& result,
                  bool deinterlaced, std::vector<std::string>& changes) {
    if (source.rate_den == 0 || result.rate_den == 0) return;
    const double expected = rate_of(source) * (deinterlaced ? 2 : 1);
    if (std::abs(rate_of(result) - expected) <= expected * rate_slack) return;
    changes.push_back(
        rate_text(result.rate_num, result.rate_den) + " frames a second, the source " +
        rate_text(source.rate_num, source.rate_den) +
        (deinterlaced
             ? " (fields a second: " + rate_text(2 * source.rate_num, source.rate_den) + ")"
             : ""));
}

void compare_format(const picture_properties& source, const picture_properties& result,
                    picture_changes& found) {
    if (source.bit_depth > 0 && result.bit_depth > 0 && source.bit_depth != result.bit_depth) {
        found.changes.push_back(std::to_string(result.bit_depth) + " bits a sample, the source " +
                                std::to_string(source.bit_depth));
    }
    if (source.chroma == chroma_format::unknown || result.chroma == chroma_format::unknown ||
        source.chroma == result.chroma) {
        return;
    }
    if (result.chroma == chroma_format::grey) {
        found.colour_lost = true;
        found.changes.push_back("the picture is grey, the source in colour (" +
                                chroma_text(source.chroma) + ")");
        return;
    }
    found.changes.push_back("chroma " + chroma_text(result.chroma) + ", the source " +
                            chroma_text(source.chroma));
}

// A code the source leaves unspecified may be anything in the result.
void compare_code(const char* what, int source, int result, std::string (*text)(int),
                  std::vector<std::string>& changes) {
    if (source == media::unspecified_colour || source == result) return;
    changes.push_back(std::string(what) + " " + text(result) + ", the source " + text(source));
}

std::string luminance_text(std::uint32_t units) {
    char text[32];
    std::snprintf(text, sizeof text, "%g cd/m2", units / 10000.0);
    return text;
}

void compare_hdr(const picture_properties& source, const picture_properties& result,
                 std::vector<std::string>& changes) {
    if (source.mastering && !result.mastering) {
        changes.push_back("no mastering display metadata, the source's display " +
                          luminance_text(source.mastering->max_luminance));
    } else if (source.mastering &&
               result.mastering->max_luminance != source.mastering->max_luminance) {
        changes.push_back("a mastering display of " +
                          luminance_text(result.mastering->max_luminance) + ", the source's " +
                          luminance_text(source.mastering->max_luminance));
    }
    if (source.light && !result.light) {
        changes.push_back("no content light level, the source's MaxCLL " +
                          std::to_string(source.light->max_cll) + " cd/m2");
    } else if (source.light && (result.light->max_cll != source.light->max_cll ||
                                result.light->max_fall != source.light->max_fall)) {
        changes.push_back("MaxCLL " + std::to_string(result.light->max_cll) + " and MaxFALL " +
                          std::to_string(result.light->max_fall) + ", the source's " +
                          std::to_string(source.light->max_cll) + " and " +
                          std::to_string(source.light->max_fall));
    }
}

void compare_colour(const picture_properties& source, const picture_properties& result,
                    std::vector<std::string>& changes) {
    if (!source.colour_known || !result.colour_known) return;
    compare_code("colour primaries", source.primaries, result.primaries, primaries_text, changes);
    compare_code("transfer", source.transfer, result.transfer, transfer_text, changes);
    compare_code("matrix", source.matrix, result.matrix, matrix_text, changes);
    if (source.full_range != result.full_range) {
        changes.push_back(std::string(result.full_range ? "full" : "limited") +
                          " range, the source " + (source.full_range ? "full" : "limited"));
    }
}

void compare_fields(const picture_properties& source, const picture_properties& result,
                    bool deinterlaced, std::vector<std::string>& changes) {
    if (source.fields == field_order::unknown || result.fields == field_order::unknown) return;
    const field_order expected =
        deinterlaced && is_interlaced(source.fields) ? field_order::progressive : source.fields;
    const bool same =
        is_interlaced(expected) == is_interlaced(result.fields) &&
        !((expected == field_order::top_first && result.fields == field_order::bottom_first) ||
          (expected == field_order::bottom_first && result.fields == field_order::top_first));
    if (same) return;
    changes.push_back(fields_text(result.fields) + ", the source " + fields_text(source.fields));
}

}  // namespace

bool is_interlaced(field_order fields) {
    return fields == field_order::interlaced || fields == field_order::top_first ||
           fields == field_order::bottom_first;
}

std::string rate_text(std::uint64_t num, std::uint64_t den) {
    if (den == 0) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(num) / static_cast<double>(den));
    std::string shown = text;
    while (shown.back() == '0') shown.pop_back();
    if (shown.back() == '.') shown.pop_back();
    return shown;
}

picture_changes compare_pictures(const picture_properties& source, const picture_properties& result,
                                 bool deinterlaced) {
    picture_changes found;
    if (!source.known || !result.known) return found;
    deinterlaced = deinterlaced && is_interlaced(source.fields);
    compare_size(source, result, found.changes);
    compare_rate(source, result, deinterlaced, found.changes);
    compare_format(source, result, found);
    compare_colour(source, result, found.changes);
    compare_hdr(source, result, found.changes);
    compare_fields(source, result, deinterlaced, found.changes);
    return found;
}

std::string changes_text(const picture_changes& found) {
    std::string text;
    for (const std::string& change : found.changes) {
        if (!text.empty()) text += "; ";
        text += change;
    }
    return text;
}

}  // namespace brindle
