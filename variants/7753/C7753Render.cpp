#include "variants/7753/C7753Render.h"

#include "dsp/DspFormat.h"
#include "variants/7753/C7753Codec.h"

namespace {

constexpr WORD kAc3Tag = 0x0092;
constexpr ULONG k96k = 96000;

// The chip's own stereo 16-bit formats; `tag` is the sub-format's.
WAVEFORMATEXTENSIBLE StereoFormat(ULONG rate, WORD tag, DWORD channelMask) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = rate;
  f.Format.nBlockAlign = 4;
  f.Format.nAvgBytesPerSec = rate * 4;
  f.Format.wBitsPerSample = 16;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = channelMask;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = tag;
  return f;
}

bool IsPcmAt96k(const WAVEFORMATEXTENSIBLE& format) {
  return EffectiveFormatTag(format) == WAVE_FORMAT_PCM && format.Format.nSamplesPerSec == k96k;
}

bool IsAc3(const WAVEFORMATEXTENSIBLE& format) { return EffectiveFormatTag(format) == kAc3Tag; }

}  // namespace

NTSTATUS C7753Render::SetName(PCWSTR name) {
  PAGED_CODE();
  NTSTATUS status = CStreamEngine::SetName(name);
  if (!NT_SUCCESS(status)) return status;
  const ULONG category = GetPinCategory();
  if (category != PIN_CATEGORY_SPK && category != PIN_CATEGORY_HP && category != PIN_CATEGORY_SPDIF) return status;
  RemoveAc3Formats();
  RemoveFormatsAt96k();
  if (category == PIN_CATEGORY_SPDIF) AddAc3Formats();
  if (category != PIN_CATEGORY_SPK) AddPcm96kFormat();
  return status;
}

NTSTATUS C7753Render::AddPcm96kFormat() {
  PAGED_CODE();
  const WAVEFORMATEXTENSIBLE format = StereoFormat(k96k, WAVE_FORMAT_PCM, KSAUDIO_SPEAKER_STEREO);
  AddFormat(&format, C7753_ALT_SETTING_96K);
  return STATUS_SUCCESS;
}

NTSTATUS C7753Render::AddAc3Formats() {
  PAGED_CODE();
  const struct {
    ULONG rate;
    UCHAR alternateSetting;
  } records[] = {{44100, C7753_ALT_SETTING_STEREO}, {48000, C7753_ALT_SETTING_STEREO}, {k96k, C7753_ALT_SETTING_96K}};
  for (const auto& r : records) {
    const WAVEFORMATEXTENSIBLE format = StereoFormat(r.rate, kAc3Tag, 0);
    AddFormat(&format, r.alternateSetting);
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7753Render::RemoveFormatsAt96k() {
  PAGED_CODE();
  RemoveFormats(IsPcmAt96k);
  return STATUS_SUCCESS;
}

NTSTATUS C7753Render::RemoveAc3Formats() {
  PAGED_CODE();
  RemoveFormats(IsAc3);
  return STATUS_SUCCESS;
}

NTSTATUS C7753Render::OpenForFormat(StreamClientRecord* client, PULONG currentFrame) {
  PAGED_CODE();
  NTSTATUS status = CUac1Render::OpenForFormat(client, currentFrame);
  if (!NT_SUCCESS(status) || !m_Codec) return status;
  const WAVEFORMATEXTENSIBLE& format = client->Format;
  switch (format.Format.nSamplesPerSec) {
    case 44100: m_Codec->WriteCodecRegister(0, C7753_RATE_44100, C7753_RATE_MASK); break;
    case 48000: m_Codec->WriteCodecRegister(0, C7753_RATE_48000, C7753_RATE_MASK); break;
    case k96k: m_Codec->WriteCodecRegister(0, C7753_RATE_96000, C7753_RATE_MASK); break;
    default: break;
  }
  const bool pcm = EffectiveFormatTag(format) == WAVE_FORMAT_PCM;
  m_Codec->WriteCodecRegister(0, pcm ? 0 : C7753_NON_PCM_BIT, C7753_NON_PCM_BIT);
  return status;
}
