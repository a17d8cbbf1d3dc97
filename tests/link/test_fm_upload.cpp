// Fiscal-memory and EPROM uploads over a serial line: requests, packets, the .hex file.

#include "link/crc16.h"
#include "link/fm_request.h"
#include "link_test_support.h"
#include "tests/support/file_size_limit.h"

#include <cerrno>

namespace {

using FmUpload = LinkFixture;

struct UploadCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t code;
    int packets;
    std::vector<int> chunks; // how the line splits every answer
    ProgressDotKind dotKind;
    QString finish;
};

TEST_F(FmUpload, PacketsInAnyChunkingLandByteExactInTheFile) {
    const QString detailDone = QStringLiteral("数据上载完毕!");
    const QString otherDone = QStringLiteral("部门报表上载完毕!");
    const UploadCase cases[] = {
        {"Detail, whole answers",
         H_UPLOAD_Detail,
         0x10,
         5,
         {},
         ProgressDotKind::Limited,
         detailDone},
        {"Detail, byte by byte",
         H_UPLOAD_Detail,
         0x10,
         4,
         {1},
         ProgressDotKind::Limited,
         detailDone},
        {"Detail, split inside header and CRC",
         H_UPLOAD_Detail,
         0x10,
         3,
         {7, 262, 1, 1},
         ProgressDotKind::Limited,
         detailDone},
        {"Summary, 20-byte chunks",
         H_UPLOAD_Summary,
         0x11,
         6,
         {20},
         ProgressDotKind::Unlimited,
         otherDone},
        {"Header, header-sized chunks",
         H_UPLOAD_Header,
         0x12,
         2,
         {13},
         ProgressDotKind::Unlimited,
         otherDone},
        {"Footer, 100-byte chunks",
         H_UPLOAD_Footer,
         0x13,
         3,
         {100},
         ProgressDotKind::Unlimited,
         otherDone},
    };
    for (const UploadCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        limitedDots = unlimitedDots = 0;
        const QString file = FilePath(c.name);
        StartSerialUpload(c.cmd, file, WholeRequest());

        QByteArray expected;
        for (int k = 1; k <= c.packets; ++k) {
            SCOPED_TRACE(k);
            ASSERT_EQ(serial->Writes.size(), static_cast<std::size_t>(k + 1));
            const DeviceFrame req = LastRequest();
            EXPECT_EQ(req.Class, 0x80);
            EXPECT_EQ(req.Code, c.code);
            EXPECT_EQ(req.Sequence, k);
            EXPECT_EQ((req.Param1 << 8) | req.Param2, k - 1) << "block number";
            EXPECT_EQ(req.Data, WholeRequest());
            const bool last = k == c.packets;
            const QByteArray data = PacketData(k, last, k % 2 ? 254 : 255);
            // Devices answer in class 0x90 or as class 0x80 data; both are taken.
            const std::uint8_t cls = k % 2 ? 0x90 : 0x80;
            // A little noise before the frame must not matter either.
            serial->Deliver(QByteArray("\x00\x11", 2) +
                                EncodeFrame(Answer(cls, c.code, req.Sequence, data)),
                            c.chunks);
            expected += data;
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_EQ(link.FileState, 0);
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(serial->Writes.size(), static_cast<std::size_t>(c.packets + 1))
            << "no request after the end packet";
        EXPECT_EQ(ReadFile(file), expected);
        EXPECT_EQ(statuses.back(), c.finish);
        const bool endDot = c.cmd == H_UPLOAD_Header || c.cmd == H_UPLOAD_Footer;
        const int dots = c.packets - 1 + (endDot ? 1 : 0);
        EXPECT_EQ(c.dotKind == ProgressDotKind::Limited ? limitedDots : unlimitedDots, dots);
        EXPECT_EQ(c.dotKind == ProgressDotKind::Limited ? unlimitedDots : limitedDots, 0);
        Advance(60000);
        EXPECT_EQ(serial->Writes.size(), static_cast<std::size_t>(c.packets + 1));
    }
}

TEST_F(FmUpload, RepeatedPacketIsWrittenOnceButShowsTwoDots) {
    StartSerialUpload(H_UPLOAD_Detail, FilePath("rep.hex"), WholeRequest());
    Advance(5000); // the request is retransmitted; the device will answer both copies
    ASSERT_EQ(serial->Writes.size(), 3u);
    const QByteArray first = EncodeFrame(Answer(0x90, 0x10, 1, PacketData(1)));
    serial->Deliver(first);
    ASSERT_EQ(serial->Writes.size(), 4u);
    EXPECT_EQ(LastRequest().Sequence, 2);
    EXPECT_EQ(LastRequest().Param2, 1);
    serial->Deliver(first); // the answer to the retransmission
    EXPECT_EQ(serial->Writes.size(), 4u) << "a late copy must not release another request";
    EXPECT_EQ(limitedDots, 2);
    EXPECT_EQ(link.BlockCounter, 1);
    serial->Deliver(EncodeFrame(Answer(0x90, 0x10, 2, PacketData(2, true))));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("rep.hex")), PacketData(1) + PacketData(2, true));
}

TEST_F(FmUpload, EndMarkerIsReadFromThePacketsOwnData) {
    // A 254-byte packet whose CRC starts with 0xA5 puts that byte where a 256-byte packet has
    // its end marker; it is not the end.
    QByteArray crcA5(254, '\0');
    for (int v = 0; v < 0x10000; ++v) {
        crcA5[0] = static_cast<char>(v & 0xFF);
        crcA5[1] = static_cast<char>(v >> 8);
        if ((Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(crcA5.constData()), 254) & 0xFF) ==
            0xA5)
            break;
    }
    ASSERT_EQ(Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(crcA5.constData()), 254) & 0xFF,
              0xA5);
    QByteArray a5Late = PacketData(1, false, 0, 300);
    a5Late[256] = static_cast<char>(0xA5); // beyond position 255: no marker

    struct Case {
        const char* name;
        QByteArray first;
        bool ends;
    };
    const Case cases[] = {
        {"marker at 254", PacketData(1, true, 254), true},
        {"marker at 255", PacketData(1, true, 255), true},
        {"254-byte packet, CRC byte 0xA5", crcA5, false},
        {"short packet", PacketData(1, false, 0, 200), false},
        {"0xA5 only at 256", a5Late, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        results.clear();
        StartSerialUpload(H_UPLOAD_Detail, FilePath("end.hex"), WholeRequest());
        serial->Deliver(EncodeFrame(Answer(0x90, 0x10, 1, c.first)));
        if (c.ends) {
            EXPECT_EQ(link.SessionResult(), 3);
            EXPECT_EQ(serial->Writes.size(), 2u);
            EXPECT_EQ(ReadFile(FilePath("end.hex")), c.first) << "exactly the first packet";
        } else {
            EXPECT_EQ(link.SessionResult(), 1);
            ASSERT_EQ(serial->Writes.size(), 3u) << "the next request goes out";
            EXPECT_EQ(LastRequest().Sequence, 2);
            link.OutputFile().close();
            EXPECT_EQ(ReadFile(FilePath("end.hex")), c.first);
        }
    }
}

TEST_F(FmUpload, EpromUploadWritesBlocks2038To2047) {
    struct Case {
        const char* name;
        int fullAnswers;     // answers with a 256-byte block
        bool emptyThen;      // then an answer without data
        qint64 expectedSize; // bytes in the file
    };
    const Case cases[] = {
        {"ten blocks, the eleventh answer ends", 11, false, 2560},
        {"empty answer after three", 3, true, 768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        steps = 0;
        limitedDots = 0;
        const QString file = FilePath("eprom.hex");
        StartSerialUpload(H_UPLOAD_EPROM, file);
        QByteArray expected;
        for (int k = 0; k < c.fullAnswers + (c.emptyThen ? 1 : 0); ++k) {
            SCOPED_TRACE(k);
            ASSERT_EQ(link.SessionResult(), 1);
            ASSERT_EQ(serial->Writes.size(), static_cast<std::size_t>(k + 2));
            const DeviceFrame req = LastRequest();
            const int block = 2038 + k;
            EXPECT_EQ(req.Class, 0x83);
            EXPECT_EQ(req.Code, 0x00);
            EXPECT_EQ(req.Param1, block & 0xFF) << "block number, low byte first";
            EXPECT_EQ(req.Param2, block >> 8);
            EXPECT_EQ(req.Data, QByteArray("\xFF\xFF", 2));
            const bool empty = k >= c.fullAnswers;
            const QByteArray data = empty ? QByteArray() : PacketData(k);
            const std::uint8_t cls = k % 2 ? 0x80 : 0x83;
            serial->Deliver(EncodeFrame(Answer(cls, 0x00, req.Sequence, data)), {50});
            if (k < 10 && !empty)
                expected += data;
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.FinishText, QStringLiteral("Finish upload EPROM data!"));
        const QByteArray got = ReadFile(file);
        EXPECT_EQ(got.size(), c.expectedSize);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(steps, c.expectedSize / 256);
        EXPECT_EQ(limitedDots, c.expectedSize / 256);
        EXPECT_EQ(link.RequestData[0], 0xFF);
        EXPECT_EQ(link.RequestData[2], 0x00);
    }
}

TEST_F(FmUpload, RangeRequestsCarryPackedBcd) {
    struct Case {
        const char* name;
        std::optional<QByteArray> data;
        const char* hex; // nullptr: refused
    };
    const Case cases[] = {
        {"whole memory", WholeMemoryRequest(), "0000012100"},
        {"Z 1 to 2100", ZRangeRequest(1, 2100), "0000012100"},
        {"Z 12 to 3 (sent as typed)", ZRangeRequest(12, 3), "0000120003"},
        {"dates 24-01-01 to 24-12-31", DateRangeRequest(240101, 241231), "01240101241231"},
        {"dates 24-01-31 to 24-01-01", DateRangeRequest(240131, 240101), "01240131240101"},
        {"Z above four digits", ZRangeRequest(10000, 1), nullptr},
        {"negative date", DateRangeRequest(-1, 1), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.hex) {
            EXPECT_FALSE(c.data.has_value());
            continue;
        }
        ASSERT_TRUE(c.data.has_value());
        EXPECT_EQ(c.data->toHex(), QByteArray(c.hex));
    }

    // The request on the line: the worked first Detail request, and a Summary by date.
    ASSERT_TRUE(SetRequestData(link, WholeMemoryRequest()));
    StartSerialUpload(H_UPLOAD_Detail, FilePath("z.hex"), WholeMemoryRequest());
    EXPECT_EQ(serial->Writes.back().Bytes.toHex(' '),
              QByteArray("aa 01 00 00 00 80 10 00 00 01 05 00 41 00 00 01 21 00 e7 02"));
    link.OutputFile().close();
    serial->Writes.clear();
    StartSerialUpload(H_UPLOAD_Summary, FilePath("d.hex"), *DateRangeRequest(240101, 241231));
    EXPECT_EQ(LastRequest().Data.toHex(' '), QByteArray("01 24 01 01 24 12 31"));
    EXPECT_EQ(link.RequestDataLen, 7);
    EXPECT_FALSE(SetRequestData(link, QByteArray(kMaxRequestDataLength + 1, 'x')));
    EXPECT_EQ(link.RequestDataLen, 7);
}

TEST(ProgressDot, DetailTextRestartsAfterHundredCharacters) {
    struct Case {
        int before;
        ProgressDotKind kind;
        int after;
    };
    const Case cases[] = {
        {0, ProgressDotKind::Limited, 1},       {99, ProgressDotKind::Limited, 100},
        {100, ProgressDotKind::Limited, 101},   {101, ProgressDotKind::Limited, 0},
        {101, ProgressDotKind::Unlimited, 102}, {500, ProgressDotKind::Unlimited, 501},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ApplyProgressDot(QString(c.before, QLatin1Char('.')), c.kind).size(), c.after)
            << c.before;
}

TEST_F(FmUpload, PacketsAfterAFailedSessionAreNotWritten) {
    StartSerialUpload(H_UPLOAD_Detail, FilePath("late.hex"), WholeRequest());
    for (int i = 0; i < 8; ++i)
        Advance(5000);
    ASSERT_EQ(link.SessionResult(), 2);
    serial->Open();
    serial->Deliver(EncodeFrame(Answer(0x90, 0x10, 1, PacketData(1))));
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(ReadFile(FilePath("late.hex")).size(), 0);
}

// Each accepted packet is in the file as soon as it has been handled, not held back until the
// upload ends: a crash or a kill keeps what arrived.
TEST_F(FmUpload, EachAcceptedPacketReachesTheFileAtOnce) {
    const QString hex = FilePath("through.hex");
    StartSerialUpload(H_UPLOAD_Detail, hex, WholeRequest());
    QByteArray expected;
    for (int i = 1; i <= 3; ++i) {
        serial->Deliver(EncodeFrame(Answer(0x90, 0x10, LastRequest().Sequence, PacketData(i))));
        expected += PacketData(i);
        EXPECT_EQ(ReadFile(hex), expected) << "after packet " << i;
    }
    EXPECT_TRUE(link.SessionOpen());
}

// The disk fills up in the middle of a packet (a file-size limit fails the write as a full
// disk does): the session ends as a file failure, naming the file and the system's reason,
// and nothing more is requested.
TEST_F(FmUpload, WriteThatFailsMidUploadEndsTheSessionWithTheReason) {
    const QString hex = FilePath("full.hex");
    StartSerialUpload(H_UPLOAD_Detail, hex, WholeRequest());
    {
        testsupport::FileSizeLimit limit(256 + 100);
        ASSERT_TRUE(limit.Active());
        for (int i = 1; i <= 2; ++i)
            serial->Deliver(EncodeFrame(Answer(0x90, 0x10, LastRequest().Sequence, PacketData(i))));
    }
    EXPECT_EQ(ends, std::vector<SessionEnd>{SessionEnd::FileFailed});
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(link.StatusText,
              QStringLiteral("Write file %1 fail: %2").arg(hex, qt_error_string(EFBIG)));
    const std::size_t sent = serial->Writes.size();
    Advance(60000);
    EXPECT_EQ(serial->Writes.size(), sent);
    EXPECT_TRUE(ReadFile(hex).startsWith(PacketData(1)));
}

} // namespace
