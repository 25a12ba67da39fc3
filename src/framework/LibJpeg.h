// What every use of libjpeg shares: its failures turned into ours, the rule for its warnings,
// the limit on progressive scans, compressed output to a TStream, and owners of its objects.
//
// libjpeg reports a failure through a callback that must not return. Ours leave libjpeg by
// longjmp back to the setjmp of a guarded function, which therefore keeps only trivially
// destructible locals; C++ objects (buffers, streams, the owners below) live in the frames
// above it, and an exception met inside a libjpeg callback is parked and raised there:
//
//     bool ReadGuarded(jpeg_decompress_struct& cinfo, TJpegErrors& err, ...) {
//         if (setjmp(err.jump)) return false;
//         jpeg_create_decompress(&cinfo);
//         ...
//         return true;
//     }
//     TJpegErrors err;
//     TJpegDecompressor d(err);
//     if (!ReadGuarded(d.cinfo, err, ...)) RaiseJpegError(err);
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE
#include <exception>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include "Classes.h"
#include "SysUtils.h"

// The error manager to give libjpeg objects (cinfo.err = &err.pub). Fatal errors and every
// warning but those about labels libjpeg does not know (a JFIF version, an Adobe transform
// code) jump to `jump` with the formatted message and its kind: Unsupported for files libjpeg
// cannot decode (lossless, 12-bit...), OutOfMemory, TooLarge for dimensions beyond libjpeg's,
// Damaged for the rest. A warning means damaged or
// missing data that libjpeg papered over (a cut file comes out filled with grey), which must
// not pass for the picture. Nothing is printed.
struct TJpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    TFailureKind kind;
    bool tooManyScans;  // LimitJpegScans ended the decode

    TJpegErrors();
    TJpegErrors(const TJpegErrors&) = delete;
    TJpegErrors& operator=(const TJpegErrors&) = delete;
};

// Runs work where libjpeg may jump (in a guarded function or a libjpeg callback), where no
// exception may pass: true when it finished, false when it raised, with the exception kept
// in `error` to raise once libjpeg has been left.
template <class Work>
bool ParkException(std::exception_ptr& error, const Work& work) noexcept {
    try {
        work();
        return true;
    } catch (...) {
        error = std::current_exception();
        return false;
    }
}

// Leaves libjpeg with a reason of our own; only from a guarded function or a libjpeg callback.
[[noreturn]] void FailJpeg(TJpegErrors& err, TFailureKind kind, const char* message);

// After the guarded function failed: EInvalidGraphic "JPEG error: <message>" of err's kind.
[[noreturn]] void RaiseJpegError(const TJpegErrors& err);

// A progressive file may repeat scans without end, each costing a pass over the whole picture;
// real files have a few dozen at most.
constexpr int kMaxJpegScans = 500;

// A progress monitor for decoding (jpeg_progress_mgr monitor{LimitJpegScans, 0, 0, 0, 0};
// cinfo.progress = &monitor after jpeg_create_decompress): past kMaxJpegScans scans it fails
// as TooLarge "more than 500 scans" and sets tooManyScans.
void LimitJpegScans(j_common_ptr cinfo);

// Compressed output written to a stream in large sequential writes. A stream's exception
// leaves libjpeg through err and is kept: call RethrowStreamError once libjpeg has been left,
// before looking at err.
class TJpegStreamDestination {
public:
    TJpegStreamDestination(TStream& stream, TJpegErrors& err);
    TJpegStreamDestination(const TJpegStreamDestination&) = delete;
    TJpegStreamDestination& operator=(const TJpegStreamDestination&) = delete;

    // For cinfo.dest, after jpeg_create_compress.
    jpeg_destination_mgr* Manager() { return &manager_.pub; }
    void RethrowStreamError() const {
        if (manager_.error) std::rethrow_exception(manager_.error);
    }

private:
    struct State {  // libjpeg's manager first, so that the callbacks find the rest from it
        jpeg_destination_mgr pub;
        TStream* stream;
        JOCTET* buffer;
        std::exception_ptr error;
        TJpegErrors* err;
    };
    static void InitDestination(j_compress_ptr cinfo);
    static boolean EmptyOutputBuffer(j_compress_ptr cinfo);
    static void TermDestination(j_compress_ptr cinfo);
    static void Flush(State& state, size_t count);

    // Left unfilled: a small picture writes a few kilobytes of it, and the untouched rest then
    // costs the system no pages.
    std::unique_ptr<JOCTET[]> buffer_;
    State manager_;
};

// Whole-picture coefficient arrays for libjpeg objects that read or write coefficients
// (jpeg_read_coefficients, jpeg_write_coefficients). libjpeg's own arrays are heap memory
// that it clears block by block on first access, which faults in every page of tens of
// megabytes; these are zeroed pages from the system (ZeroedBlock.h) that need neither.
// Serve each object that creates or touches the arrays, after jpeg_create_*: a compressor
// writing a decompressor's arrays must be served by the same memory. Arrays live as long as
// this object, so it must be made before the libjpeg objects and outlive their use.
class TJpegCoefficientMemory {
public:
    TJpegCoefficientMemory();
    ~TJpegCoefficientMemory();
    TJpegCoefficientMemory(const TJpegCoefficientMemory&) = delete;
    TJpegCoefficientMemory& operator=(const TJpegCoefficientMemory&) = delete;

    // Only where libjpeg may jump: uses cinfo->client_data.
    void Serve(j_common_ptr cinfo) noexcept;

private:
    struct TArray;
    static jvirt_barray_ptr Request(j_common_ptr cinfo, int pool, boolean preZero, JDIMENSION blocksPerRow,
                                    JDIMENSION rows, JDIMENSION maxAccess);
    static JBLOCKARRAY Access(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION firstRow, JDIMENSION rows,
                              boolean writable);
    TArray* Add(JDIMENSION blocksPerRow, JDIMENSION rows) noexcept;

    std::vector<std::unique_ptr<TArray>> arrays_;
};

// Owners of libjpeg objects, destroyed on every path (also after a longjmp out of their use).
// Create them before the guarded function runs jpeg_create_*; destroying one never created
// does nothing.
template <class Info>
class TJpegObject {
public:
    Info cinfo{};
    explicit TJpegObject(TJpegErrors& err) { cinfo.err = &err.pub; }
    ~TJpegObject() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&cinfo)); }
    TJpegObject(const TJpegObject&) = delete;
    TJpegObject& operator=(const TJpegObject&) = delete;
};
using TJpegCompressor = TJpegObject<jpeg_compress_struct>;
using TJpegDecompressor = TJpegObject<jpeg_decompress_struct>;
