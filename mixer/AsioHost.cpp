// The host functions and their process-wide state. Everything here runs on
// the application's thread, except the two sound-buffer functions.
#include "mixer/AsioHost.h"

#include <unistd.h>

#include <cstdarg>
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

// Why the device cannot be used, for ASIOErrorText.
char szErrorText[256] = {};
// The loss of the present output stage has been looked into and logged.
bool bLossReported = false;

[[gnu::format(printf, 1, 2)]] void SetErrorText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(szErrorText, sizeof szErrorText, format, args);
    va_end(args);
}

// The driver's own words about its last failure, or `otherwise`.
void SetDriverErrorText(const char* otherwise) {
    char text[kAsioTextBytes] = {};
    if (ptrASIO) ptrASIO->getErrorMessage(text);
    text[kAsioTextBytes - 1] = '\0';
    SetErrorText("%s", text[0] != '\0' ? text : otherwise);
}

// The saved choice: the driver listed under the saved name, else the saved
// number when it names a driver, else 0.
int32_t ReadConfiguredDriver(const AsioDriverList& list) {
    DebugLog& log = MixerDebugLog();
    std::FILE* file = std::fopen(kConfigFile, "r");
    if (!file) return 0;
    log.WriteLine("Found ASIO Configuration file!");
    char content[2 + AsioDriverList::kNameBytes] = {};
    const size_t got = std::fread(content, 1, sizeof content - 1, file);
    std::fclose(file);
    const int32_t numDrivers = list.DriverCount();
    // The name, on the line after the byte, survives a renumbering of the
    // list (a card plugged in); a file of one byte has none.
    if (content[1] == '\n') {
        char* name = content + 2;
        name[std::strcspn(name, "\n")] = '\0';
        for (int32_t i = 0; i < numDrivers; ++i) {
            char listed[AsioDriverList::kNameBytes] = {};
            if (list.DriverDescription(i, listed, sizeof listed) != 0 ||
                std::strcmp(listed, name) != 0)
                continue;
            log.Write("Found driver by name: ");
            log.WriteLine(name);
            log.WriteTwoValues("nRequestedDrvNum", i, "Num devices", numDrivers);
            return i;
        }
    }
    // An empty file reads as negative too.
    const int32_t value = got == 0 ? -1 : static_cast<unsigned char>(content[0]) - 48;
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

void WriteConfiguredDriver(int32_t number, const char* name) {
    // One byte holds the number: a number beyond it is not remembered.
    if (number < 0 || number > 255 - 48) return;
    std::FILE* file = std::fopen(kConfigFile, "w");
    if (!file) return;
    MixerDebugLog().WriteLine("Updating ASIO Configuration file!");
    std::fputc(48 + number, file);
    std::fprintf(file, "\n%s\n", name);
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
    szErrorText[0] = '\0';

    // A working directory too long to keep is reached by its relative name,
    // never by an empty one (the log's name begins with '/').
    if (logDirectory[0] == '\0' && !getcwd(logDirectory, sizeof logDirectory))
        std::strcpy(logDirectory, ".");
    DebugLog& log = MixerDebugLog();
    log.Open(logDirectory);

    pDriverList = new (std::nothrow) AsioDriverList(pDriverSource);
    if (!pDriverList) {
        log.WriteLine("Failed to create AsioDriverList!");
        SetErrorText("not enough memory for the driver list");
        return false;
    }
    const int32_t numDrivers = pDriverList->DriverCount();
    if (numDrivers == 0) {
        log.WriteLine("Couldn't find any ASIO drivers!");
        SetErrorText("no driver is installed");
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
            char name[AsioDriverList::kNameBytes] = {};
            (void)pDriverList->DriverDescription(requested, name, sizeof name);
            WriteConfiguredDriver(requested, name);
        }
    } else {
        nRequestedDrvNum = ReadConfiguredDriver(*pDriverList);
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
    SetErrorText(nOpenResult == kDriverNotFound ? "there is no driver number %d"
                                                : "driver %d could not be made",
                 static_cast<int>(requested >= 0 ? requested : nRequestedDrvNum));
    ForgetDriverList();
    return false;
}

bool ASIOSetupBuffers(void* hWnd, PairLabelSink* pairList, const char* windowTitle) {
    DebugLog& log = MixerDebugLog();
    if (!pDriverList || !ptrASIO || nOpenResult != 0) {
        log.WriteLine("ptrASIO == NULL");
        SetErrorText("no driver is open");
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

    bLossReported = false;
    pASIOBuffers = new (std::nothrow) ASIOBuffers(hWnd, windowTitle, pairList, ptrASIO);
    if (!pASIOBuffers) {
        log.WriteLine("pASIOBuffers == NULL");
        SetErrorText("not enough memory for the output stage");
        return false;
    }
    if (!pASIOBuffers->InitSuccess()) {
        // The driver's text when its init failed; otherwise the card offers
        // nothing the output stage can play (the log says which).
        SetDriverErrorText("the device offers no output in a sample format that can be played");
        delete pASIOBuffers;
        pASIOBuffers = nullptr;
        return false;
    }
    log.WriteLine("pASIOBuffers->bInitSuccess");
    if (pASIOBuffers->CreatePrimaryBuffers()) {
        log.WriteLine("CreatePrimaryBuffer success!");
        return true;
    }
    SetDriverErrorText("the device could not make its buffers");
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
        SetDriverErrorText("the device would not start");
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

bool ASIOIsPlaying() {
    return bPlaying;
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

bool ASIODeviceLost() {
    if (!pASIOBuffers || !ASIOBuffers::DeviceLost()) return false;
    if (!bLossReported) {
        bLossReported = true;
        SetDriverErrorText("the device asked to be reset");
        MixerDebugLog().Write("Device lost: ");
        MixerDebugLog().WriteLine(szErrorText);
    }
    return true;
}

const char* ASIOErrorText() {
    return szErrorText;
}

int32_t ASIOStereoPairCount() {
    return pASIOBuffers ? pASIOBuffers->NumStereoPairs() : 0;
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
