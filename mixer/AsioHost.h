// The mixer library's host functions: choose and open a driver (remembering
// the choice in "ASIOConfig.txt" in the working directory: the driver's number
// as one byte, '0' + number, then a line with its name), build the output
// stage on it, start and stop it, make and release sound buffers, shut down.
// All of them run on the application's thread, except the two sound-buffer
// functions, which the engine's threads call too.
#pragma once

#include <cstdint>

#include "mixer/ASIOBuffers.h"
#include "mixer/SoundBuffer.h"

class DriverSource;

// Receives the installed drivers' names in list order, then the index of the
// driver that was chosen. The dialog's device box and the command line
// implement it.
class DeviceListSink {
  public:
    virtual ~DeviceListSink() = default;
    virtual void AddName(const char* name) = 0;
    virtual void SelectIndex(int32_t index) = 0;
};

// Where ASIOInitDrivers finds the installed drivers. The program sets its
// own source once, before the first ASIOInitDrivers; tests set a fake one.
// The source must outlive every call that uses it (until ASIOShutdown).
// Without a source, ASIOInitDrivers finds no driver.
void ASIOSetDriverSource(DriverSource* source);

// The directory of the mixer's debug log. It is filled once per process, with
// the working directory at the first ASIOInitDrivers; a null or empty
// directory forgets it, so that the next ASIOInitDrivers takes the working
// directory again. At most 255 characters are kept.
void ASIOSetLogDirectory(const char* directory);

// Lists the drivers into deviceList (may be null) and opens driver number
// `requested`, or, for -1, the one "ASIOConfig.txt" names: by its name when
// a driver of that name is listed, else by its number, else driver 0. True
// when a driver is open. Call ASIOShutdown before calling it again.
[[nodiscard]] bool ASIOInitDrivers(DeviceListSink* deviceList, int32_t requested);

// Makes the output stage on the open driver: hWnd is handed to the driver's
// init, windowTitle (may be null) is logged, the pair labels go to pairList
// (may be null). True when the output stage holds the driver's buffers.
[[nodiscard]] bool ASIOSetupBuffers(void* hWnd, PairLabelSink* pairList,
                                    const char* windowTitle = nullptr);

[[nodiscard]] bool ASIOStartPlay();
void ASIOStopPlay();
// True between a successful ASIOStartPlay and the next ASIOStopPlay or
// ASIOShutdown. Logs nothing.
bool ASIOIsPlaying();

// Deletes the output stage (stops the driver, frees every sound buffer), the
// driver list (releases the driver) and closes the mixer's debug log.
void ASIOShutdown();

// True once the device in use has been lost (the JACK server went away, an
// ALSA device failed beyond recovery): its driver asked for a reset. Nothing
// is reopened here; the caller stops, tells the user why (ASIOErrorText) and
// opens a device again when asked to. False without an output stage.
[[nodiscard]] bool ASIODeviceLost();

// Why the last ASIOInitDrivers, ASIOSetupBuffers or ASIOStartPlay failed, or
// why the device was lost, in words for the user (often the driver's own);
// "" when nothing failed. Kept until the next ASIOInitDrivers.
const char* ASIOErrorText();

// The stereo output pairs of the output stage; 0 without one.
int32_t ASIOStereoPairCount();

// A new sound buffer for description->nOwner's output pair, used through
// SoundBufferBase; null without an output stage or on failure. sampleBits is
// the width of its samples in memory: 16, or 32 for sources above 16 bits.
[[nodiscard]] void* ASIOCreateSoundBuffer(BufferDescription* description,
                                          uint32_t sampleBits = 16);
// Gives back a buffer from ASIOCreateSoundBuffer; does nothing without an
// output stage.
void ASIOReleaseSoundBuffer(void* buffer);

// Sets the given sound buffers (from ASIOCreateSoundBuffer) playing as rings
// so that all of them begin in the same buffer switch. False without an
// output stage.
bool ASIOPlayTogether(void* const* buffers, int32_t count);

// The open device's rate in whole hertz, as the output stage knows it; 0
// without an output stage. Logs nothing.
uint32_t ASIOGetDeviceRate();

// The meter of an output pair: the recent peak of each side as a fraction of
// full scale, after the level (see ASIOBuffers::OutputPeak). False without an
// output stage or for a pair the card does not have. Takes no lock.
bool ASIOGetOutputPeaks(int32_t pair, float* left, float* right);

// The two sound-buffer functions as the engine hands them down.
using CreateSoundBufferFunction = void* (*)(BufferDescription* description, uint32_t sampleBits);
using ReleaseSoundBufferFunction = void (*)(void* buffer);
