// A wave miniport on its own: a stream engine that records what its stream
// client asks of it and sends notifications the way the USB engine does, a
// hardware model that holds only that engine, and a WaveCyclic port that
// counts Notify calls.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "driver/common/CStreamEngine.h"
#include "driver/hal/CAudioHal.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/WaveParts.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/CWaveCyclicStream.h"

namespace wavetest {

WAVEFORMATEXTENSIBLE Format(const GUID& subFormat, WORD channels, DWORD rate, WORD bits);
inline WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD bits) {
  return Format(KSDATAFORMAT_SUBTYPE_PCM, channels, rate, bits);
}
inline WAVEFORMATEXTENSIBLE Float(WORD channels, DWORD rate) {
  return Format(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, channels, rate, 32);
}

// A KSDATAFORMAT followed by a wave format, as a pin create carries it.
struct DataFormat {
  KSDATAFORMAT header;
  WAVEFORMATEXTENSIBLE wave;
};
DataFormat MakeDataFormat(const WAVEFORMATEXTENSIBLE& wave);

// A stream engine whose ICyclicControl records every call and whose
// notifications the test sends itself. A client that hands over a
// processor (the tone prompt) is allowed only where the test says so; the
// engine then holds it with a reference, as the USB engine does, and the
// test runs the data path through it.
class FakeEngine final : public CStreamEngine, public ICyclicControl {
 public:
  explicit FakeEngine(ULONG direction);
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                            ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                            StreamClientRecord** record) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterClient(PVOID handle) override;
  NTSTATUS STDMETHODCALLTYPE StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb,
                                         IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE StopClient(PVOID handle, IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) override;
  NTSTATUS STDMETHODCALLTYPE UnprepareClient(PVOID handle) override;

  // ---- Notifications, sent at DISPATCH_LEVEL (FORMAT at PASSIVE_LEVEL) for
  // `client` (default: the registered record).
  void SendFormat(ULONG msPerUrb, ULONG urbCount, StreamClientRecord* client = nullptr);
  void SendFill(PVOID packet, ULONG length, StreamClientRecord* client = nullptr);
  void SendPosition(ULONG bytes);
  void SendCapture(PVOID data, ULONG length);
  // The registered client's format has changed to `format`.
  void SendFormat(const WAVEFORMATEXTENSIBLE& format);
  // One render buffer through the processor, if one is held, as the
  // engine's data path does it (under its lock, at DISPATCH_LEVEL).
  void RunProcessor(const WAVEFORMATEXTENSIBLE& format, float* const* channels, ULONG frames);

  std::vector<std::string> calls;  // "register", "prepare", ...
  StreamClientRecord record{};     // the one client record
  StreamClientRecord other{};      // another client, for notifications about it
  bool registered = false;
  ULONG startFrame = 0;
  ULONG currentFrame = 40;
  NTSTATUS registerStatus = STATUS_SUCCESS;
  NTSTATUS prepareStatus = STATUS_SUCCESS;
  NTSTATUS startStatus = STATUS_SUCCESS;
  bool takesProcessor = false;
  std::mutex processorLock;
  IToneNode* processor = nullptr;  // one reference

 private:
  void Send(CyclicControlNotify& notify);
  PCALLBACK_FUNCTION m_Callback = nullptr;
  PVOID m_Context = nullptr;
};

// The fixture: Build() makes the engine, model, port and miniport; the
// teardown releases them in the framework's order.
class WaveTest : public testsupport::KernelTest {
 protected:
  void TearDown() override;

  // The engine (named "HeadSetOut01" or "MicIn01") with `formats`; Init's
  // status is returned, the miniport kept either way.
  NTSTATUS Build(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats);
  // A stream of `format`; the test releases it with CloseStream.
  NTSTATUS OpenStream(const WAVEFORMATEXTENSIBLE& format, bool capture = false);
  void CloseStream();
  // Releases the stream, miniport, port, model and engine.
  void ReleaseAll();

  FakeEngine* engine = nullptr;
  WaveModel* model = nullptr;
  FakePort* port = nullptr;
  CMiniportWaveCyclic* miniport = nullptr;
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP serviceGroup = nullptr;
  // The stream object behind `stream`.
  CWaveCyclicStream* Stream() { return static_cast<CWaveCyclicStream*>(stream); }
};

}  // namespace wavetest
