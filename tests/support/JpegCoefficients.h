// What libjpeg's coefficient reader sees in a file: the judge of the tests that stamp JPEG files
// without encoding them again. libjpeg's warnings count as faults; its errors end the test.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "JpegLossless.h"

namespace jpegjudge {

using Block = std::array<JCOEF, DCTSIZE2>;

struct Component {
    int h = 0, v = 0, quantTable = 0;
    int wb = 0, hb = 0;  // real blocks
    std::vector<Block> blocks;
};

struct Coefficients {
    J_COLOR_SPACE space = JCS_UNKNOWN;
    bool progressive = false;
    int maxH = 1, maxV = 1;
    std::vector<Component> comps;
    std::vector<std::array<UINT16, DCTSIZE2>> quant;
    std::vector<TJpegMarker> markers;  // comments and application segments
};

inline Coefficients ReadCoefficients(const uint8_t* data, size_t size) {
    jpeg_error_mgr err;
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&cinfo, JPEG_COM, 0xFFFF);
    for (int i = 0; i < 16; ++i) jpeg_save_markers(&cinfo, JPEG_APP0 + i, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    Coefficients out;
    out.space = cinfo.jpeg_color_space;
    out.progressive = cinfo.progressive_mode;
    out.maxH = cinfo.max_h_samp_factor;
    out.maxV = cinfo.max_v_samp_factor;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& info = cinfo.comp_info[c];
        Component comp{info.h_samp_factor,
                       info.v_samp_factor,
                       info.quant_tbl_no,
                       static_cast<int>(info.width_in_blocks),
                       static_cast<int>(info.height_in_blocks),
                       {}};
        for (int r = 0; r < comp.hb; ++r) {
            JBLOCKARRAY row = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c],
                                                               static_cast<JDIMENSION>(r), 1, FALSE);
            for (int b = 0; b < comp.wb; ++b) {
                comp.blocks.emplace_back();
                std::copy(row[0][b], row[0][b] + DCTSIZE2, comp.blocks.back().begin());
            }
        }
        out.comps.push_back(std::move(comp));
    }
    for (const JQUANT_TBL* q : cinfo.quant_tbl_ptrs) {
        if (!q) continue;
        out.quant.emplace_back();
        std::copy(q->quantval, q->quantval + DCTSIZE2, out.quant.back().begin());
    }
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        out.markers.push_back({m->marker, std::vector<uint8_t>(m->data, m->data + m->data_length)});
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    EXPECT_EQ(err.num_warnings, 0);
    return out;
}

inline Coefficients ReadCoefficients(const std::vector<uint8_t>& bytes) {
    return ReadCoefficients(bytes.data(), bytes.size());
}
inline Coefficients ReadCoefficients(const std::string& bytes) {
    return ReadCoefficients(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace jpegjudge
