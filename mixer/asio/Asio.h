// The driver interface: what a multichannel output driver offers the host,
// with the published names and values. Every integer is 32 bits wide.
#pragma once

#include <cstdint>

using ASIOBool = int32_t;
constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;

using ASIOError = int32_t;
constexpr ASIOError ASE_OK = 0;
constexpr ASIOError ASE_SUCCESS = 0x3f4847a0;
constexpr ASIOError ASE_NotPresent = -1000;
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;
constexpr ASIOError ASE_NoClock = -995;
constexpr ASIOError ASE_NoMemory = -994;

using ASIOSampleRate = double;

using ASIOSampleType = int32_t;
constexpr ASIOSampleType ASIOSTInt16MSB = 0;
constexpr ASIOSampleType ASIOSTInt24MSB = 1;
constexpr ASIOSampleType ASIOSTInt32MSB = 2;
constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
constexpr ASIOSampleType ASIOSTInt32MSB16 = 8;
constexpr ASIOSampleType ASIOSTInt32MSB18 = 9;
constexpr ASIOSampleType ASIOSTInt32MSB20 = 10;
constexpr ASIOSampleType ASIOSTInt32MSB24 = 11;
constexpr ASIOSampleType ASIOSTInt16LSB = 16;
constexpr ASIOSampleType ASIOSTInt24LSB = 17;
constexpr ASIOSampleType ASIOSTInt32LSB = 18;
constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
constexpr ASIOSampleType ASIOSTInt32LSB16 = 24;
constexpr ASIOSampleType ASIOSTInt32LSB18 = 25;
constexpr ASIOSampleType ASIOSTInt32LSB20 = 26;
constexpr ASIOSampleType ASIOSTInt32LSB24 = 27;

// asioMessage selectors.
constexpr int32_t kAsioSelectorSupported = 1;
constexpr int32_t kAsioEngineVersion = 2;
constexpr int32_t kAsioResetRequest = 3;
constexpr int32_t kAsioBufferSizeChange = 4;
constexpr int32_t kAsioResyncRequest = 5;
constexpr int32_t kAsioLatenciesChanged = 6;
constexpr int32_t kAsioSupportsTimeInfo = 7;
constexpr int32_t kAsioSupportsTimeCode = 8;
constexpr int32_t kAsioMMCCommand = 9;
constexpr int32_t kAsioSupportsInputMonitor = 10;
constexpr int32_t kAsioSupportsInputGain = 11;
constexpr int32_t kAsioSupportsInputMeter = 12;
constexpr int32_t kAsioSupportsOutputGain = 13;
constexpr int32_t kAsioSupportsOutputMeter = 14;
constexpr int32_t kAsioOverload = 15;

struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];  // half 0, half 1
};

struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    void* (*bufferSwitchTimeInfo)(void* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

// Texts passed to getDriverName and getErrorMessage are 256 bytes; a driver
// writes at most 32 and 124 bytes there, terminator included.
constexpr int kAsioTextBytes = 256;
constexpr int kAsioDriverNameBytes = 32;
constexpr int kAsioErrorMessageBytes = 124;

// A driver. The host calls it on the application's thread; the driver calls
// the host's callbacks on a thread of its own. Release() frees the object.
class IASIO {
  public:
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                    int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError outputReady() = 0;
    virtual void Release() = 0;

  protected:
    virtual ~IASIO() = default;
};
