// The host functions and their process-wide state. Everything here runs on
// the application's thread, except the two sound-buffer functions.
#include "mixer/AsioHost.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "diag/DebugLog.h"
#include "mixer/AsioDriverList.h"
#include "mixer/AudioBuffer.h"

namespace {

constexpr const char* kConfigFile = "ASIOConfig.txt";

DriverSource* pDriverSource = nullptr;
bool bPlaying = false;
int32_t nOpenResult = 1;
int32_t nRequestedDrvNum = 0;
ASIOBuffers* pASIOBuffers = nullptr;
AsioDriverList* pDriverList = nullptr;
IASIO* ptrASIO = nullptr;
char logDirectory[256] = {};

void ForgetDriverList() {
    delete pDriverList;
    pDriverList = nullptr;
    ptrASIO = nullptr;
    nOpenResult = 1;
}

// The saved choice, or 0 when there is none that names an installed driver.
int32_t ReadConfiguredDriver(int32_t numDrivers) {
    DebugLog& log = MixerDebugLog();
    std::FILE* file = std::fopen(kConfigFile, "r");
    if (!file) return 0;
    log.WriteLine("Found ASIO Configuration file!");
    const int c = std::fgetc(file);
    std::fclose(file);
    const int32_t value = c - 48;  // EOF, an empty file, is negative too
    if (value < 0) {
        log.WriteLine("Error reading configuration file!");
        return 0;
    }
    log.WriteTwoValues("nRequestedDrvNum", value, "Num devices", numDrivers);
    if (value >= numDrivers) {
        log.WriteValue("nRequestedDrvNum > lnumDevs!", numDrivers);
        return 0;
    }
    return value;
}

void WriteConfiguredDriver(int32_t number) {
    // One byte holds the choice: a number beyond it is not remembered.
    if (number < 0 || number > 255 - 48) return;
    std::FILE* file = std::fopen(kConfigFile, "w");
    if (!file) return;
    MixerDebugLog().WriteLine("Updating ASIO Configuration file!");
    std::fputc(48 + number, file);
    std::fclose(file);
}

}  // namespace

void ASIOSetDriverSource(DriverSource* source) {
    pDriverSource = source;
}

void ASIOSetLogDirectory(const char* directory) {
    std::memset(logDirectory, 0, sizeof logDirectory);
    if (directory) std::strncpy(logDirectory, directory, sizeof logDirectory - 1);
}

bool ASIOInitDrivers(DeviceListSink* deviceList, int32_t requested) {
    nOpenResult = 1;
    bPlaying = false;
    ptrASIO = nullptr;
    pDriverList = nullptr;
    pASIOBuffers = nullptr;
    nRequestedDrvNum = 0;

    // A working directory too long to keep is reached by its relative name,
    // never by an empty one (the log's name begins with '/').
    if (logDirectory[0] == '\0' && !getcwd(logDirectory, sizeof logDirectory))
        std::strcpy(logDirectory, ".");
    DebugLog& log = MixerDebugLog();
    log.Open(logDirectory);

    pDriverList = new (std::nothrow) AsioDriverList(pDriverSource);
    if (!pDriverList) {
        log.WriteLine("Failed to create AsioDriverList!");
        return false;
    }
    const int32_t numDrivers = pDriverList->DriverCount();
    if (numDrivers == 0) {
        log.WriteLine("Couldn't find any ASIO drivers!");
        ForgetDriverList();
        return false;
    }

    for (int32_t i = 0; i < numDrivers; ++i) {
        char name[AsioDriverList::kNameBytes] = {};
        if (pDriverList->DriverDescription(i, name, sizeof name) == 0 && deviceList)
            deviceList->AddName(name);
    }

    if (requested >= 0) {
        IASIO* opened = nullptr;
        nOpenResult = pDriverList->asioOpenDriver(requested, &opened);
        ptrASIO = opened;
        if (nOpenResult == 0 && ptrASIO) {
            nRequestedDrvNum = requested;
            WriteConfiguredDriver(requested);
        }
    } else {
        nRequestedDrvNum = ReadConfiguredDriver(numDrivers);
        IASIO* opened = nullptr;
        nOpenResult = pDriverList->asioOpenDriver(nRequestedDrvNum, &opened);
        ptrASIO = opened;
    }

    if (deviceList) deviceList->SelectIndex(nRequestedDrvNum);

    if (nOpenResult == 0 && ptrASIO) {
        log.WriteLine("asioOpenDriver success!");
        return true;
    }
    log.WriteLine("asioOpenDriver failed!");
    ForgetDriverList();
    return false;
}

bool ASIOSetupBuffers(void* hWnd, PairLabelSink* pairList, const char* windowTitle) {
    DebugLog& log = MixerDebugLog();
    if (!pDriverList || !ptrASIO || nOpenResult != 0) {
        log.WriteLine("ptrASIO == NULL");
        return false;
    }
    // A second setup would leave the first output stage running unseen.
    if (pASIOBuffers) {
        log.WriteLine("Failed: ASIOSetupBuffers - output stage already made!");
        return false;
    }
    log.WriteValue("Total num devices found", pDriverList->DriverCount());
    char name[AsioDriverList::kNameBytes] = {};
    char path[256] = {};
    (void)pDriverList->DriverDescription(nRequestedDrvNum, name, sizeof name);
    (void)pDriverList->DriverDllPath(nRequestedDrvNum, path, sizeof path);
    log.WriteLine("Diver selected...");
    log.WriteLine(name);
    log.WriteLine(path);
    log.WriteLine("");

    pASIOBuffers = new (std::nothrow) ASIOBuffers(hWnd, windowTitle, pairList, ptrASIO);
    if (!pASIOBuffers) {
        log.WriteLine("pASIOBuffers == NULL");
        return false;
    }
    if (!pASIOBuffers->InitSuccess()) {
        delete pASIOBuffers;
        pASIOBuffers = nullptr;
        return false;
    }
    log.WriteLine("pASIOBuffers->bInitSuccess");
    if (pASIOBuffers->CreatePrimaryBuffers()) {
        log.WriteLine("CreatePrimaryBuffer success!");
        return true;
    }
    delete pASIOBuffers;
    pASIOBuffers = nullptr;
    return false;
}

bool ASIOStartPlay() {
    DebugLog& log = MixerDebugLog();
    if (ptrASIO && pASIOBuffers && pASIOBuffers->InitSuccess() && !bPlaying) {
        if (ptrASIO->start() == ASE_OK) {
            bPlaying = true;
            log.WriteLine("Success: ASIOStartPlay");
            return true;
        }
        log.WriteLine("Error ASIOStartPlay: ptrASIO->Start() failed!");
        return false;
    }
    log.WriteLine("Failed: ASIOStartPlay - ASIO system not initialized!");
    return false;
}

void ASIOStopPlay() {
    DebugLog& log = MixerDebugLog();
    if (ptrASIO && pASIOBuffers && pASIOBuffers->InitSuccess() && bPlaying) {
        ptrASIO->stop();
        bPlaying = false;
        log.WriteLine("Called ptrASIO->Stop()");
        return;
    }
    bPlaying = false;
    log.WriteLine("Failed: ASIOStopPlay - ASIO system not initialized!");
}

void ASIOShutdown() {
    if (pASIOBuffers) {
        delete pASIOBuffers;
        pASIOBuffers = nullptr;
    }
    if (pDriverList) ForgetDriverList();
    bPlaying = false;
    MixerDebugLog().Close();
}

void* ASIOCreateSoundBuffer(BufferDescription* description, uint32_t sampleBits) {
    if (!pASIOBuffers) return nullptr;
    return pASIOBuffers->CreateSoundBuffer(description, sampleBits);
}

bool ASIOPlayTogether(void* const* buffers, int32_t count) {
    if (!pASIOBuffers || !buffers || count < 0) return false;
    AudioBuffer* list[ASIOBuffers::kMaxSoundBuffers];
    const int32_t n = count < ASIOBuffers::kMaxSoundBuffers ? count : ASIOBuffers::kMaxSoundBuffers;
    for (int32_t i = 0; i < n; ++i) list[i] = static_cast<AudioBuffer*>(buffers[i]);
    pASIOBuffers->PlayTogether(list, n);
    return true;
}

uint32_t ASIOGetDeviceRate() {
    return pASIOBuffers ? pASIOBuffers->KnownSampleRate() : 0;
}

bool ASIOGetOutputPeaks(int32_t pair, float* left, float* right) {
    if (!pASIOBuffers || pair < 0 || pair >= pASIOBuffers->NumStereoPairs()) return false;
    if (left) *left = pASIOBuffers->OutputPeak(2 * pair);
    if (right) *right = pASIOBuffers->OutputPeak(2 * pair + 1);
    return true;
}

void ASIOReleaseSoundBuffer(void* buffer) {
    if (!pASIOBuffers) return;
    pASIOBuffers->ReleaseSoundBuffer(buffer);
}
