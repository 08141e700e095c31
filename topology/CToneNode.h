// The tone prompt: a short two-tone signal mixed into the render stream when
// the room effect is switched, rising when it goes on and falling when it
// goes off. While a prompt plays the node is a running client of its render
// engine, so the stream keeps going even when nothing else plays; it
// converts the 48 kHz mono prompt to the device rate as float into a 40 ms
// ring and adds the ring to the front pair of every render buffer. The end
// of the prompt is found on the data path and handed to PASSIVE_LEVEL
// through a work item, which takes the node out of the engine again; the
// queued item holds a reference, so the node outlives it.
//
// Locks: the mutex serialises the PASSIVE_LEVEL operations (and is held
// across the calls into the engine); the spin lock guards everything the
// data path and the engine's notifications read, and the prompt buffer is
// only ever exchanged under it.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "dsp/CDspConverter.h"
#include "kernel/nt.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG TONE_NODE_TAG = MakeTag("TONE");

constexpr ULONG TONE_PROMPT_RATE = 48000;
constexpr ULONG TONE_BURST_SAMPLES = 4800;       // 100 ms
constexpr ULONG TONE_BURST_FADE_SAMPLES = 240;   // 5 ms
constexpr ULONG TONE_PROMPT_SAMPLES = 12000;     // 250 ms
constexpr ULONG TONE_FIRST_BURST_AT = 480;
constexpr ULONG TONE_SECOND_BURST_AT = 6720;
constexpr ULONG TONE_BURST_PEAK = 2067;          // about -24 dBFS
constexpr ULONG TONE_LOW_HZ = 415;
constexpr ULONG TONE_HIGH_HZ = 1568;

constexpr ULONG TONE_PROMPT_RISING = 5;
constexpr ULONG TONE_PROMPT_FALLING = 6;

constexpr ULONG TONE_CHANNEL_BUFFERS = 8;
constexpr ULONG TONE_MIN_CHANNELS = 2;  // the prompt goes to the front pair
constexpr ULONG TONE_RING_MAX_FRAMES = 15360;    // 40 ms at 384 kHz
constexpr ULONG TONE_CHUNK_SAMPLES = 128;
constexpr ULONG TONE_MS_PER_URB = 5;
constexpr ULONG TONE_URB_COUNT = 3;
constexpr ULONG TONE_WAIT_SLEEPS = 26;  // of 10 ms, then 20 ms more

constexpr ULONG TONE_STATE_IDLE = 0;
constexpr ULONG TONE_STATE_PLAYING = 2;

// The two bursts of every prompt, made once on first use: 4,800 samples
// each, a 415 Hz (A) and a 1,568 Hz (B) sine from phase 0 with 5 ms linear
// fades.
const SHORT* ToneBurstA();
const SHORT* ToneBurstB();

class CToneNode;

// The stop work item's context.
struct ToneStopWorkItem {
  PIO_WORKITEM Item;
  CToneNode* Node;
};

class CToneNode : public IToneNode, public ISwitchNode, public CUnknownBase {
 public:
  CToneNode(PUNKNOWN outerUnknown, PUNKNOWN audioHal);
  ~CToneNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IToneNode
  NTSTATUS STDMETHODCALLTYPE Init() override;
  NTSTATUS STDMETHODCALLTYPE SetRenderEngine(IStreamEngine* engine) override;
  // Plays the prompt the selector names from its beginning. A prompt still
  // playing is given a bounded time to finish first and is then stopped.
  NTSTATUS STDMETHODCALLTYPE Play() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE ProcessCapture(const WAVEFORMATEXTENSIBLE*, float* const*, ULONG) override {
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, float* const* channels,
                                     ULONG frames) override;

  // ---- ISwitchNode: the prompt selector, on channel 0 or 1
  NTSTATUS STDMETHODCALLTYPE GetValue(ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCount(PULONG count) override;
  // The selector needs no setting up.
  NTSTATUS STDMETHODCALLTYPE Init(ULONG, ULONG) override { return STATUS_NOT_IMPLEMENTED; }

  // The engine's format notification.
  void OnCyclicControl(StreamClientRecord* record, ULONG msPerUrb, ULONG urbCount,
                       const WAVEFORMATEXTENSIBLE* format);

  // What the render path reads, for tests.
  ULONG State() const { return m_State; }
  ULONG RingLength() const { return m_RingLength; }
  const SHORT* PromptSamples() const { return m_PromptSamples; }
  ULONG PromptLength() const { return m_PromptLength; }
  bool IsStopping() const { return m_Stopping != 0; }

 private:
  // Lets a playing prompt finish, for at most 26 x 10 ms and 20 ms more;
  // mutex held.
  void WaitForPlayingPrompt();
  // Builds a prompt of `type` and puts it in place of the previous one.
  NTSTATUS BuildPrompt(ULONG type);
  // Takes the client out of its engine; mutex held. `processor` is what
  // the engine is to drop from its processor list.
  NTSTATUS StopLocked(IToneNode* processor);
  // Mono float at the device rate, or the device layout in float; false
  // when the converter refuses the pair.
  bool SetConverter(WORD channels);
  // Converts prompt samples into the ring while there is room; spin lock
  // held.
  void FillRing();
  // The prompt is over (or cannot be played): no more mixing, and the
  // client leaves its engine at PASSIVE_LEVEL; spin lock held.
  void EndPrompt();
  // The stop work item's: stops the client if its prompt is still the one
  // that ended.
  void StopEndedPrompt();
  static void StopRoutine(PDEVICE_OBJECT deviceObject, PVOID context);
  static void ClientCallback(PVOID context, PVOID argument1, PVOID argument2);

  WAVEFORMATEXTENSIBLE m_PromptFormat;
  IStreamEngine* m_RenderEngine = nullptr;
  ULONG m_MsPerUrb = 0;
  PVOID m_ClientHandle = nullptr;
  StreamClientRecord* m_ClientRecord = nullptr;
  WAVEFORMATEXTENSIBLE m_DeviceFormat;
  CKernelMutex m_Lock;
  ULONG m_State = TONE_STATE_IDLE;
  CDspNonInterleaveSrc* m_Converter = nullptr;
  SHORT** m_PromptTable = nullptr;
  ULONG m_PromptBytes = 0;
  ULONG m_PromptLength = 0;
  ULONG m_PromptPosition = 0;
  const SHORT* m_PromptSamples = nullptr;
  ToneStopWorkItem* m_StopWorkItem = nullptr;
  PUNKNOWN m_AudioHal = nullptr;
  UCHAR m_Stopping = 0;
  UCHAR m_StopQueued = 0;
  float** m_ChannelBuffers = nullptr;
  ULONG m_RingLength = 0;
  // Frames played, modulo the ring length, as the read position.
  ULONG m_PlayedCounter = 0;
  ULONG m_RingWrite = 0;
  ULONG m_RingRead = 0;
  // Converted frames not yet played. Equal positions cannot tell a full
  // ring from a drained one; the count can.
  ULONG m_RingPending = 0;
  // The whole prompt has been handed to the converter.
  ULONG m_Ended = 0;
  KSPIN_LOCK m_SpinLock;
  UCHAR m_PromptSelector = 0;
};

NTSTATUS CreateToneNode(PUNKNOWN* unknown, PUNKNOWN outerUnknown, PUNKNOWN audioHal);
