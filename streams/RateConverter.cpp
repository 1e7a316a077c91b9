#include "streams/RateConverter.h"

#include <soxr.h>

RateConverter::RateConverter(double dInRate, double dOutRate, uint32_t nChannels) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    // One thread: the converter runs inside a refill on the event thread.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    pSoxr = soxr_create(dInRate, dOutRate, nChannels, &error, &io, &quality, &runtime);
    if (error) {
        soxr_delete(pSoxr);
        pSoxr = nullptr;
        pszError = error;
    } else if (!pSoxr) {
        pszError = "not enough memory";
    }
}

RateConverter::~RateConverter() {
    soxr_delete(pSoxr);
}

void RateConverter::Process(const float* pIn, size_t inFrames, size_t* pUsed, int32_t* pOut,
                            size_t outFrames, size_t* pMade) {
    *pUsed = 0;
    *pMade = 0;
    if (!pSoxr) return;
    soxr_process(pSoxr, pIn, pIn ? inFrames : 0, pUsed, pOut, outFrames, pMade);
}

void RateConverter::Reset() {
    if (pSoxr) soxr_clear(pSoxr);
}
