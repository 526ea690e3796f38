#pragma once

#include <cstdint>
#include <functional>

#include "DspCore/Export.h"
#include "DspCore/Signals.h"

namespace murel
{

/** External sample number formats. UInt8 is offset by 127; Int24 is packed in three bytes. */
enum class NumberFormat : int32_t
{
    UInt8 = 0,
    Int8 = 1,
    Int16 = 2,
    Int24 = 3,
    Int32 = 4,
    Float32 = 5,
    Float64 = 6,
};

/** Converts raw sample buffers of one number format and byte order, planar or interleaved,
    into Signal32 and back. Integer results are rounded to nearest (ties to even) and clamped to
    the format's range; not-a-number samples become the format's zero. */
class MUREL_EXPORT NumberFormatConversion
{
public:
    /** Reads n samples at source sample positions 0, s, 2s, ... into n contiguous floats. */
    using ToFloat = std::function<void(const uint8_t* source, float* destination, int n, int stride)>;
    /** Writes n contiguous floats to destination sample positions 0, s, 2s, .... */
    using FromFloat = std::function<void(const float* source, uint8_t* destination, int n, int stride)>;

    NumberFormatConversion() = default;

    /** Selects the converters for the format and byte order (bigEndian: most significant byte
        first; no effect on the 8-bit formats). A value outside the enumeration changes only the
        format, the flag and the frame size (0); conversions then throw std::bad_function_call. */
    void setFormat(NumberFormat newFormat, bool newBigEndian);
    /** Chooses an integer format for a bit depth: 1 to 8 bits UInt8 (little-endian), 9 to 16
        Int16, 17 to 24 Int24, 25 to 32 Int32. Returns false, changing nothing, otherwise. */
    bool setPcmFormat(int bitsPerSample, bool newBigEndian);

    NumberFormat getFormat() const { return format; }
    bool isBigEndian() const { return bigEndian; }
    /** Bytes per sample of the configured format; 0 when it is outside the enumeration. */
    int getFrameSize() const { return frameSize; }

    /** Bits per sample of a format; -1 outside the enumeration. */
    static int getNumberOfBitsPerSample(NumberFormat numberFormat);
    /** Bytes per sample of a format; -1 outside the enumeration. */
    static int getFrameSize(NumberFormat numberFormat);
    /** destination[i] = source[n - 1 - i]; the buffers must not overlap. */
    static void reverseByteOrder(const void* source, void* destination, int numOfBytes);

    /** Planar: channel c of destination (already sized to the wanted channels and length) is
        read from sources[c]. Throws std::bad_function_call before a format was set. */
    void convertToSignal32(const uint8_t* const* sources, Signal32& destination) const;
    /** Interleaved: frames of destination's channel count, one sample per channel each. */
    void convertToSignal32(const uint8_t* source, Signal32& destination) const;
    /** Writes the signal as interleaved frames of its channel count. */
    void convertFromSignal32(const Signal32& source, uint8_t* destination) const;

private:
    void checkFormat() const;

    NumberFormat format = NumberFormat::UInt8;
    bool bigEndian = false;
    int frameSize = 0;
    ToFloat toFloat;
    FromFloat fromFloat;
};

} // namespace murel
