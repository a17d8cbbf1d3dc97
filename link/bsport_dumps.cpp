// Memory dumps (ROM, RAM, NAND flash): the owner sets DumpStart and DumpEnd; each request
// names the current address, each answer is written to the output file and moves the
// address on by its length until the address has reached DumpEnd.

#include "link/bsport.h"
#include "link/status_texts.h"

void TBsPort::SetDumpAddress(std::uint32_t Address) {
    DumpAddress[0] = static_cast<std::uint8_t>((Address >> 16) & 0xFF);
    DumpAddress[1] = static_cast<std::uint8_t>((Address >> 8) & 0xFF);
    DumpAddress[2] = static_cast<std::uint8_t>(Address & 0xFF);
}

std::uint32_t TBsPort::CurrentDumpAddress() const {
    return (std::uint32_t{DumpAddress[0]} << 16) | (std::uint32_t{DumpAddress[1]} << 8) |
           DumpAddress[2];
}

void TBsPort::BuildDumpRequest() {
    if (RequestPending != 0)
        return;
    CommandRow& row = Commands[CurrentCommand];
    if (CurrentCommand == H_UP_NANDFLASH) {
        // The flash is addressed in 256-byte pages: the two high address bytes.
        row[6] = DumpAddress[0];
        row[7] = DumpAddress[1];
    } else {
        // ROM and RAM take all three address bytes, in place of the code byte and the two
        // parameters; the class alone names the memory.
        row[5] = DumpAddress[0];
        row[6] = DumpAddress[1];
        row[7] = DumpAddress[2];
    }
    BumpSequence(CurrentCommand);
    SendFrame(row, nullptr, true, 0);
    RequestPending = 1;
}

void TBsPort::HandleDumpPacket(const DeviceFrame& Frame) {
    const QByteArray& data = Frame.Data;
    bool end = data.isEmpty();
    if (!end) {
        if (Frame.Sequence == LastWrittenSeq)
            return; // a repeated packet: written already, and the address has moved on
        if (!AppendOutput(data))
            return;
        BytesReceived += static_cast<int>(data.size());
        LastWrittenSeq = Frame.Sequence;
        const std::uint32_t address = CurrentDumpAddress();
        const auto dumpEnd = static_cast<std::uint32_t>(DumpEnd) & kDumpAddressMask;
        const std::uint32_t next = address + static_cast<std::uint32_t>(data.size());
        // The address has three bytes: a dump never runs past the top of that space, where
        // the address would wrap to 0 and start over for ever.
        if (address < dumpEnd && next <= kDumpAddressMask) {
            SetDumpAddress(next);
            PacketAccepted();
            return;
        }
        end = true;
    }
    QString finish;
    switch (CurrentCommand) {
    case H_UPLOAD_ROM:
        finish = LinkStatusText(LinkText::RomDone);
        break;
    case H_UPLOAD_RAM:
        finish = LinkStatusText(LinkText::RamDone);
        break;
    default:
        finish = LinkStatusText(LinkText::NandFlashDone);
        break;
    }
    BytesReceived = 0;
    EndReport(SessionEnd::Finished, finish);
}
