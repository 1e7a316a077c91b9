// One channel's rate converter (libsoxr, high quality): floats of the file's
// rate in, 32-bit samples of the device's rate out. It keeps the filter's
// state between calls, so that the blocks of a channel join without a seam;
// Reset forgets it when the channel jumps to another place.
#pragma once

#include <cstddef>
#include <cstdint>

struct soxr;

class RateConverter {
  public:
    RateConverter(double dInRate, double dOutRate, uint32_t nChannels);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    bool IsReady() const { return pSoxr != nullptr; }
    // Why it could not be made; "" when ready.
    const char* GetError() const { return pszError; }

    // Takes up to inFrames frames from pIn and writes up to outFrames frames
    // to pOut; *pUsed and *pMade say how many. A null pIn says the input has
    // ended: what the filter still holds comes out.
    void Process(const float* pIn, size_t inFrames, size_t* pUsed, int32_t* pOut, size_t outFrames,
                 size_t* pMade);
    // Ready for a fresh signal.
    void Reset();

  private:
    soxr* pSoxr = nullptr;
    const char* pszError = "";
};
