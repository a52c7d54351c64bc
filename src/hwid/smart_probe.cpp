// Drive 0's serial and model numbers from ATA IDENTIFY, sent through the SMART
// device-control interface.
#include <cstdio>
#include <cstring>

#include "hwid/disk_identity.h"
#include "hwid/text.h"

namespace hwid {

int ReadPhysicalDriveWithSmart(DiskIdentity& identity, DeviceServices& services) {
    char path[256];
    std::snprintf(path, sizeof path, kDrivePathFormat, 0);
    HANDLE drive =
        services.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE) {
        identity.diagnosticText.fill(0);
        return 0;
    }

    DWORD bytesReturned = 0;
    GETVERSIONINPARAMS version;
    std::memset(&version, 0, sizeof version);
    if (services.DeviceIoControl(drive, SMART_GET_VERSION, nullptr, 0, &version, sizeof version,
                                 &bytesReturned, nullptr) == 0) {
        // Not final: a driver may still have filled in the device map.
        identity.diagnosticText.fill(0);
    }
    if (version.bIDEDeviceMap == 0) {
        identity.diagnosticText.fill(0);
        services.CloseHandle(drive);
        return 0;
    }

    SENDCMDINPARAMS command;
    std::memset(&command, 0, sizeof command);
    command.cBufferSize = IDENTIFY_BUFFER_SIZE;
    command.irDriveRegs.bFeaturesReg = 0;
    command.irDriveRegs.bSectorCountReg = 1;
    command.irDriveRegs.bSectorNumberReg = 0;
    command.irDriveRegs.bCylLowReg = 0;
    command.irDriveRegs.bCylHighReg = 0;
    command.irDriveRegs.bDriveHeadReg = 0xA0;
    command.irDriveRegs.bCommandReg = (version.bIDEDeviceMap & 0x10) != 0 ? ATAPI_ID_CMD : ID_CMD;
    command.bDriveNumber = 0;
    identity.smartReply.fill(0);

    // The last byte of SENDCMDINPARAMS (bBuffer) is not part of the request.
    if (services.DeviceIoControl(drive, SMART_RCV_DRIVE_DATA, &command, sizeof command - 1,
                                 identity.smartReply.data(), kSmartReplySize, &bytesReturned,
                                 nullptr) == 0) {
        services.CloseHandle(drive);
        return 0;
    }

    constexpr std::size_t kDataOffset = offsetof(SENDCMDOUTPARAMS, bBuffer);
    std::uint32_t words[kIdentifyWordCount];
    for (std::size_t i = 0; i < kIdentifyWordCount; ++i) {
        words[i] = identity.smartReply[kDataOffset + 2 * i] |
                   static_cast<std::uint32_t>(identity.smartReply[kDataOffset + 2 * i + 1]) << 8;
    }
    ExtractIdentifyStrings(identity, words);
    services.CloseHandle(drive);
    return 1;
}

void ExtractIdentifyStrings(DiskIdentity& identity, IdentifyWords words) {
    // Zero-filled so that index 19 reads 0 whenever fewer than 20 bytes were
    // stored.
    char serial[kTextFieldSize] = {};
    char model[kTextFieldSize] = {};
    IdentifyWordsToText(words, 10, 19, serial);
    IdentifyWordsToText(words, 27, 46, model);
    if (identity.serialText[0] != '\0') {
        return;
    }
    // The first or the twentieth byte must be a letter or digit.
    if (!IsAlphanumeric(static_cast<unsigned char>(serial[0])) &&
        !IsAlphanumeric(static_cast<unsigned char>(serial[19]))) {
        return;
    }
    CopyText(identity.serialText, serial);
    CopyText(identity.modelText, model);
}

char* IdentifyWordsToText(IdentifyWords words, int first, int last, std::span<char> out) {
    if (out.empty()) {
        return out.data();
    }
    const std::size_t capacity = out.size() - 1;  // room for the terminator
    std::size_t n = 0;
    const auto store = [&](std::uint32_t byte) {
        if (byte != ' ' && n < capacity) {
            out[n++] = static_cast<char>(byte);
        }
    };
    const int from = first < 0 ? 0 : first;
    const int to = last > static_cast<int>(kIdentifyWordCount) - 1
                       ? static_cast<int>(kIdentifyWordCount) - 1
                       : last;
    for (int i = from; i <= to; ++i) {
        store((words[static_cast<std::size_t>(i)] >> 8) & 0xFF);
        store(words[static_cast<std::size_t>(i)] & 0xFF);
    }
    out[n] = '\0';
    // out[0] is never trimmed: a one-byte text stays as it is.
    for (std::size_t j = n; j-- > 1;) {
        if (!IsBlank(static_cast<unsigned char>(out[j]))) {
            break;
        }
        out[j] = '\0';
    }
    return out.data();
}

}  // namespace hwid
