#include "LibJpeg.h"

#include <limits>
#include <memory>
#include <string>

// After jpeglib.h, which it needs.
#include <jerror.h>

#include "ZeroedBlock.h"

namespace {

TFailureKind KindOfMessage(int messageCode) {
    switch (messageCode) {
    case JERR_SOF_UNSUPPORTED:  // lossless and hierarchical files
    case JERR_BAD_PRECISION:    // 12-bit files
    case JERR_NOT_COMPILED:
    case JERR_ARITH_NOTIMPL:
    case JERR_COMPONENT_COUNT:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_FRACT_SAMPLE_NOTIMPL:
    case JERR_CCIR601_NOTIMPL:
    case JERR_MISMATCHED_QUANT_TABLE: return TFailureKind::Unsupported;
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE: return TFailureKind::OutOfMemory;
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW: return TFailureKind::TooLarge;
    default: return TFailureKind::Damaged;
    }
}

TJpegErrors& ErrorsOf(j_common_ptr cinfo) { return *reinterpret_cast<TJpegErrors*>(cinfo->err); }

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    TJpegErrors& err = ErrorsOf(cinfo);
    (*cinfo->err->format_message)(cinfo, err.message);
    err.kind = KindOfMessage(cinfo->err->msg_code);
    std::longjmp(err.jump, 1);
}

void OutputMessage(j_common_ptr) {}  // nothing is printed

void EmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM) return;
    ErrorExit(cinfo);
}

constexpr size_t kOutputBuffer = 256 * 1024;  // large sequential writes to the stream

}  // namespace

TJpegErrors::TJpegErrors() : pub{}, jump{}, message{}, kind(TFailureKind::Other), tooManyScans(false) {
    jpeg_std_error(&pub);
    pub.error_exit = ErrorExit;
    pub.output_message = OutputMessage;
    pub.emit_message = EmitMessage;
}

void FailJpeg(TJpegErrors& err, TFailureKind kind, const char* message) {
    std::snprintf(err.message, sizeof err.message, "%s", message);
    err.kind = kind;
    std::longjmp(err.jump, 1);
}

void RaiseJpegError(const TJpegErrors& err) {
    throw EInvalidGraphic(std::string("JPEG error: ") + err.message, err.kind);
}

void LimitJpegScans(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxJpegScans) return;
    TJpegErrors& err = ErrorsOf(cinfo);
    err.tooManyScans = true;
    char message[64];
    std::snprintf(message, sizeof message, "more than %d scans", kMaxJpegScans);
    FailJpeg(err, TFailureKind::TooLarge, message);
}

TJpegStreamDestination::TJpegStreamDestination(TStream& stream, TJpegErrors& err)
    : buffer_(std::make_unique_for_overwrite<JOCTET[]>(kOutputBuffer)), manager_{} {
    manager_.pub.init_destination = InitDestination;
    manager_.pub.empty_output_buffer = EmptyOutputBuffer;
    manager_.pub.term_destination = TermDestination;
    manager_.stream = &stream;
    manager_.buffer = buffer_.get();
    manager_.err = &err;
}

void TJpegStreamDestination::InitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<State*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kOutputBuffer;
}

void TJpegStreamDestination::Flush(State& state, size_t count) {
    if (!ParkException(state.error, [&] { state.stream->WriteBuffer(state.buffer, static_cast<int64_t>(count)); }))
        std::longjmp(state.err->jump, 1);
}

boolean TJpegStreamDestination::EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<State*>(cinfo->dest);
    Flush(*d, kOutputBuffer);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kOutputBuffer;
    return TRUE;
}

void TJpegStreamDestination::TermDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<State*>(cinfo->dest);
    const size_t count = kOutputBuffer - d->pub.free_in_buffer;
    if (count) Flush(*d, count);
}

struct TJpegCoefficientMemory::TArray {
    TZeroedBlock blocks;
    std::vector<JBLOCKROW> rows;
};

TJpegCoefficientMemory::TJpegCoefficientMemory() = default;

TJpegCoefficientMemory::~TJpegCoefficientMemory() = default;

void TJpegCoefficientMemory::Serve(j_common_ptr cinfo) noexcept {
    cinfo->client_data = this;
    cinfo->mem->request_virt_barray = Request;
    cinfo->mem->access_virt_barray = Access;
}

TJpegCoefficientMemory::TArray* TJpegCoefficientMemory::Add(JDIMENSION blocksPerRow, JDIMENSION rows) noexcept {
    if (blocksPerRow == 0 || rows == 0 ||
        size_t{blocksPerRow} > std::numeric_limits<size_t>::max() / sizeof(JBLOCK) / rows)
        return nullptr;
    try {
        auto array = std::make_unique<TArray>();
        array->blocks = TZeroedBlock(size_t{blocksPerRow} * rows * sizeof(JBLOCK));
        array->rows.resize(rows);
        auto* first = reinterpret_cast<JBLOCKROW>(array->blocks.data());
        for (JDIMENSION r = 0; r < rows; ++r) array->rows[r] = first + size_t{r} * blocksPerRow;
        arrays_.push_back(std::move(array));
        return arrays_.back().get();
    } catch (...) {
        return nullptr;
    }
}

jvirt_barray_ptr TJpegCoefficientMemory::Request(j_common_ptr cinfo, int pool, boolean, JDIMENSION blocksPerRow,
                                                 JDIMENSION rows, JDIMENSION) {
    if (pool != JPOOL_IMAGE) ERREXIT1(cinfo, JERR_BAD_POOL_ID, pool);
    TArray* array = static_cast<TJpegCoefficientMemory*>(cinfo->client_data)->Add(blocksPerRow, rows);
    if (!array) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 8);
    return reinterpret_cast<jvirt_barray_ptr>(array);
}

JBLOCKARRAY TJpegCoefficientMemory::Access(j_common_ptr cinfo, jvirt_barray_ptr ptr, JDIMENSION firstRow,
                                           JDIMENSION rows, boolean) {
    auto* array = reinterpret_cast<TArray*>(ptr);
    if (size_t{firstRow} + rows > array->rows.size()) ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    return array->rows.data() + firstRow;
}
