#include <set>
#include <vector>

#include "driver/AsioIoctlTable.h"
#include "tests/support/KernelTest.h"

namespace {

// Records what the dispatcher hands over; each operation answers `answer`.
class RecordingAsio : public IAsioPrivate {
 public:
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  NTSTATUS STDMETHODCALLTYPE Open(PFILE_OBJECT) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE Reserved() override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE Close(PFILE_OBJECT) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE GetDriverName(PFILE_OBJECT, PCHAR, PULONG length) override {
    lengthIn = *length;
    *length = reportedLength;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE GetChannels(PFILE_OBJECT, PVOID, ULONG length) override {
    lengthIn = length;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE GetChannelInfo(PFILE_OBJECT, PVOID, ULONG length) override {
    lengthIn = length;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE SetNotifyEvent(PFILE_OBJECT, PHANDLE handle) override {
    this->handle = *handle;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE ReleaseNotifyEvent(PFILE_OBJECT) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE GetBuffersCreated(PFILE_OBJECT, PULONG created) override {
    *created = 1;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE GetSampleTypes(PFILE_OBJECT, PVOID record, PULONG length) override {
    recordGiven = record != nullptr;
    *length = reportedLength;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE GetLatencyTable(PFILE_OBJECT, PVOID, PULONG length) override {
    *length = reportedLength;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE SetSampleType(PFILE_OBJECT, ULONG type) override {
    value = type;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE SetLatencyIndex(PFILE_OBJECT, ULONG index) override {
    value = index;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE GetLatencies(PFILE_OBJECT, PVOID) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE GetSampleRate(PFILE_OBJECT, PULONG) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE CanSampleRate(PFILE_OBJECT, PULONG) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE SetSampleRate(PFILE_OBJECT, PULONG) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE GetBufferSize(PFILE_OBJECT, PVOID) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE CreateBuffers(PFILE_OBJECT, PVOID, PVOID addresses, PULONG length) override {
    lengthIn = *length;
    // One 64-bit user address per engine, whatever the caller's width.
    ULONG count = *length / sizeof(ULONGLONG);
    for (ULONG i = 0; i < count; ++i) {
      ULONGLONG address = 0x0000123400000000ull + 0x10000ull * (i + 1);
      std::memcpy(static_cast<PUCHAR>(addresses) + i * sizeof(address), &address, sizeof(address));
    }
    *length = count * sizeof(ULONGLONG);
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE DisposeBuffers(PFILE_OBJECT) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE Start(PFILE_OBJECT, PHANDLE handle) override {
    this->handle = *handle;
    return Called();
  }
  NTSTATUS STDMETHODCALLTYPE Stop(PFILE_OBJECT, PIRP) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE CanIoFormat(PFILE_OBJECT, PULONG) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE SetIoFormat(PFILE_OBJECT, PULONG) override { return Called(); }
  NTSTATUS STDMETHODCALLTYPE GetIoFormat(PFILE_OBJECT, PULONG) override { return Called(); }

  NTSTATUS Called() {
    ++calls;
    return answer;
  }

  NTSTATUS answer = STATUS_SUCCESS;
  ULONG reportedLength = 0;
  int calls = 0;
  ULONG lengthIn = 0;
  ULONG value = 0;
  bool recordGiven = false;
  HANDLE handle = nullptr;
};

class AsioIoctlTableTest : public testsupport::KernelTest {
 protected:
  NTSTATUS Dispatch(ULONG code, ULONG inputLength, ULONG outputLength, bool from32bit = false) {
    m_Buffer.assign(std::max<size_t>({inputLength, outputLength, 1}), 0);
    if (!m_Input.empty()) std::memcpy(m_Buffer.data(), m_Input.data(), std::min<size_t>(m_Input.size(), inputLength));
    AsioIoctlRequest request{};
    request.IoControlCode = code;
    request.Buffer = m_Buffer.data();
    request.InputLength = inputLength;
    request.OutputLength = outputLength;
    request.From32bitProcess = from32bit;
    m_Information = 0xBAD;
    return DispatchAsioIoctl(&m_Asio, request, &m_Information);
  }
  template <typename T>
  void Input(const std::vector<T>& values) {
    m_Input.assign(values.size() * sizeof(T), 0);
    std::memcpy(m_Input.data(), values.data(), m_Input.size());
  }
  ULONG OutputUlong(size_t index) const {
    ULONG v;
    std::memcpy(&v, m_Buffer.data() + index * sizeof(ULONG), sizeof(v));
    return v;
  }

  RecordingAsio m_Asio;
  std::vector<UCHAR> m_Input;
  std::vector<UCHAR> m_Buffer;
  ULONG_PTR m_Information = 0;
};

TEST_F(AsioIoctlTableTest, TableHoldsTheTwentyTwoBufferedSoundCodes) {
  std::set<ULONG> codes, functions;
  for (const AsioIoctlEntry& e : AsioIoctlTable) {
    codes.insert(e.Code);
    functions.insert((e.Code >> 2) & 0xFFF);
    EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(e.Code), FILE_DEVICE_SOUND) << e.Name;
    EXPECT_EQ(METHOD_FROM_CTL_CODE(e.Code), METHOD_BUFFERED) << e.Name;
    EXPECT_EQ(FindAsioIoctl(e.Code), &e);
  }
  EXPECT_EQ(codes.size(), ASIO_IOCTL_COUNT);
  EXPECT_EQ(*functions.begin(), 0x800u);
  EXPECT_EQ(*functions.rbegin(), 0x816u);
  EXPECT_EQ(functions.count(0x812), 0u);
  EXPECT_EQ(FindAsioIoctl(AsioIoctlCode(0x812, ASIO_WRITE)), nullptr);
}

TEST_F(AsioIoctlTableTest, UnknownCodesAndAMissingInterfaceAreRefused) {
  EXPECT_EQ(Dispatch(AsioIoctlCode(0x812, ASIO_WRITE), 0, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Dispatch(IOCTL_ASIO_GET_DRIVER_NAME ^ 0x4000, 0, 8), STATUS_NOT_SUPPORTED) << "another access";
  AsioIoctlRequest request{};
  request.IoControlCode = IOCTL_ASIO_DISPOSE_BUFFERS;
  ULONG_PTR information = 7;
  EXPECT_EQ(DispatchAsioIoctl(nullptr, request, &information), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(m_Asio.calls, 0);
}

TEST_F(AsioIoctlTableTest, LengthRulesDecideWhetherTheOperationRuns) {
  struct Case {
    const char* name;
    ULONG code, input, output;
    NTSTATUS status;
    bool called;
    ULONG_PTR information;
  };
  const Case cases[] = {
      {"channels: 16 bytes", IOCTL_ASIO_GET_CHANNELS, 0, 16, STATUS_SUCCESS, true, 16},
      {"channels: 15 bytes", IOCTL_ASIO_GET_CHANNELS, 0, 15, STATUS_INVALID_PARAMETER, false, 0},
      {"channels: 20 bytes", IOCTL_ASIO_GET_CHANNELS, 0, 20, STATUS_INVALID_PARAMETER, false, 0},
      {"channel info: 52 in, 52 out", IOCTL_ASIO_GET_CHANNEL_INFO, 52, 52, STATUS_SUCCESS, true, 52},
      {"channel info: 48 in", IOCTL_ASIO_GET_CHANNEL_INFO, 48, 52, STATUS_INVALID_PARAMETER, false, 0},
      {"channel info: no room out", IOCTL_ASIO_GET_CHANNEL_INFO, 52, 40, STATUS_INVALID_PARAMETER, false, 0},
      {"buffers created: size query", IOCTL_ASIO_GET_BUFFERS_CREATED, 0, 0, STATUS_BUFFER_OVERFLOW, false, 4},
      {"buffers created: 3 bytes", IOCTL_ASIO_GET_BUFFERS_CREATED, 0, 3, STATUS_BUFFER_TOO_SMALL, false, 0},
      {"buffers created: 4 bytes", IOCTL_ASIO_GET_BUFFERS_CREATED, 0, 4, STATUS_SUCCESS, true, 4},
      {"sample type: 3 bytes", IOCTL_ASIO_SET_SAMPLE_TYPE, 3, 0, STATUS_SUCCESS, false, 0},
      {"sample type: 4 bytes", IOCTL_ASIO_SET_SAMPLE_TYPE, 4, 0, STATUS_SUCCESS, true, 0},
      {"latencies: 7 bytes", IOCTL_ASIO_GET_LATENCIES, 0, 7, STATUS_SUCCESS, false, 0},
      {"latencies: 12 bytes", IOCTL_ASIO_GET_LATENCIES, 0, 12, STATUS_SUCCESS, true, 12},
      {"buffer size: 15 bytes", IOCTL_ASIO_GET_BUFFER_SIZE, 0, 15, STATUS_SUCCESS, false, 0},
      {"io format: 4 bytes", IOCTL_ASIO_GET_IO_FORMAT, 0, 8, STATUS_SUCCESS, true, 4},
      {"dispose: no buffers", IOCTL_ASIO_DISPOSE_BUFFERS, 0, 0, STATUS_SUCCESS, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_Asio.calls = 0;
    Input(std::vector<ULONG>(16, 24));
    EXPECT_EQ(Dispatch(c.code, c.input, c.output), c.status);
    EXPECT_EQ(m_Asio.calls, c.called ? 1 : 0);
    EXPECT_EQ(m_Information, c.information);
  }
}

TEST_F(AsioIoctlTableTest, OperationsReportTheirOwnLengthsAlsoForASizeQuery) {
  m_Asio.answer = STATUS_BUFFER_OVERFLOW;
  m_Asio.reportedLength = 20;
  EXPECT_EQ(Dispatch(IOCTL_ASIO_GET_SAMPLE_TYPES, 0, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_FALSE(m_Asio.recordGiven) << "a size query has no record";
  EXPECT_EQ(m_Information, 20u);
  m_Asio.answer = STATUS_BUFFER_TOO_SMALL;
  EXPECT_EQ(Dispatch(IOCTL_ASIO_GET_DRIVER_NAME, 0, 4), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(m_Information, 0u);
  m_Asio.answer = STATUS_SUCCESS;
  m_Asio.reportedLength = 23;
  EXPECT_EQ(Dispatch(IOCTL_ASIO_GET_DRIVER_NAME, 0, 64), STATUS_SUCCESS);
  EXPECT_EQ(m_Asio.lengthIn, 64u);
  EXPECT_EQ(m_Information, 23u);
}

TEST_F(AsioIoctlTableTest, EventHandlesFollowTheCallersWidth) {
  struct Case {
    const char* name;
    bool from32bit;
    ULONG input;
    NTSTATUS status;
    ULONG_PTR handle;
  };
  const Case cases[] = {
      {"32-bit, 4 bytes: zero-extended", true, 4, STATUS_SUCCESS, 0x89ABCDEF},
      {"32-bit, 8 bytes", true, 8, STATUS_INVALID_PARAMETER, 0},
      {"64-bit, 8 bytes", false, 8, STATUS_SUCCESS, 0x0123456789ABCDEF},
      {"64-bit, 4 bytes", false, 4, STATUS_INVALID_PARAMETER, 0},
      {"64-bit, nothing", false, 0, STATUS_INVALID_PARAMETER, 0},
  };
  for (ULONG code : {IOCTL_ASIO_SET_NOTIFY_EVENT, IOCTL_ASIO_START}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << code << " " << c.name);
      m_Asio.calls = 0;
      m_Asio.handle = nullptr;
      Input(std::vector<ULONGLONG>{0x0123456789ABCDEFull});
      EXPECT_EQ(Dispatch(code, c.input, 0, c.from32bit), c.status);
      EXPECT_EQ(m_Asio.calls, NT_SUCCESS(c.status) ? 1 : 0);
      EXPECT_EQ(reinterpret_cast<ULONG_PTR>(m_Asio.handle), c.handle);
      EXPECT_EQ(m_Information, 0u);
    }
  }
}

TEST_F(AsioIoctlTableTest, BufferAddressesAreNarrowedForA32bitCaller) {
  // Two channels requested; two engines' blocks come back.
  Input(std::vector<ULONG>{0, 2, 256, 0, 0, 1, 0});
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 28, 8, true), STATUS_SUCCESS);
  EXPECT_EQ(m_Asio.lengthIn, 16u) << "the operation sees twice the caller's room";
  EXPECT_EQ(OutputUlong(0), 0x00010000u);
  EXPECT_EQ(OutputUlong(1), 0x00020000u);
  EXPECT_EQ(m_Information, 8u);

  // A 64-bit caller gets the addresses as they are.
  Input(std::vector<ULONG>{0, 2, 256, 0, 0, 1, 0});
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 28, 16, false), STATUS_SUCCESS);
  EXPECT_EQ(OutputUlong(0), 0x00010000u);
  EXPECT_EQ(OutputUlong(1), 0x00001234u);
  EXPECT_EQ(m_Information, 16u);

  // No temporary buffer: the operation is not called.
  m_Asio.calls = 0;
  platform::pool::FailAllocationsWithTag(ASIO_TEMP_TAG);
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 28, 8, true), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(m_Asio.calls, 0);
  EXPECT_EQ(m_Information, 0u);
}

TEST_F(AsioIoctlTableTest, BufferRequestNamingMoreChannelsThanItHoldsIsRefused) {
  Input(std::vector<ULONG>{0, 3, 256, 0, 0, 1, 0});  // three channels named, two present
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 28, 16), STATUS_INVALID_PARAMETER);
  Input(std::vector<ULONG>{0, 0xFFFFFFFF, 256});
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 12, 16), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Dispatch(IOCTL_ASIO_CREATE_BUFFERS, 8, 16), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m_Asio.calls, 0);
}

TEST_F(AsioIoctlTableTest, PendingStopIsLeftToItsOwner) {
  m_Asio.answer = STATUS_PENDING;
  EXPECT_EQ(Dispatch(IOCTL_ASIO_STOP, 0, 0), STATUS_PENDING);
  EXPECT_EQ(m_Information, 0u);
}

}  // namespace
