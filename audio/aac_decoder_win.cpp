#include "audio/aac_decoder_win.h"

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>

#include <cstring>
#include <vector>

#include "audio/adts.h"
#include "audio/audio_output_win.h"
#include "audio/decoder_config.h"

namespace {

constexpr DWORD kEnumFlags = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;  // 0x41
constexpr DWORD kDefaultOutputBufferSize = 65536;
constexpr DWORD kMaxOutputTypes = 256;

IMFTransform* ActivateFirstAacDecoder() {
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Audio, MFAudioFormat_AAC};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  HRESULT hr =
      MFTEnumEx(MFT_CATEGORY_AUDIO_DECODER, kEnumFlags, &input, nullptr, &activates, &count);
  if (FAILED(hr)) return nullptr;
  IMFTransform* transform = nullptr;
  if (count > 0) {
    hr = activates[0]->ActivateObject(IID_PPV_ARGS(&transform));
    if (FAILED(hr)) transform = nullptr;
  }
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  return transform;
}

IMFMediaType* MakeInputType(const DecoderSetup& setup) {
  IMFMediaType* type = nullptr;
  if (FAILED(MFCreateMediaType(&type))) return nullptr;
  const std::vector<uint8_t> userData = AacUserData(setup.audioSpecificConfig);
  HRESULT hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, setup.sampleRate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, setup.channels);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 1);  // ADTS
  if (SUCCEEDED(hr)) {
    hr = type->SetBlob(MF_MT_USER_DATA, userData.data(), static_cast<UINT32>(userData.size()));
  }
  if (FAILED(hr)) {
    type->Release();
    return nullptr;
  }
  return type;
}

PcmCandidate DescribeOutputType(IMFMediaType* type) {
  PcmCandidate c;
  GUID subtype = GUID_NULL;
  UINT32 value = 0;
  c.isPcm = SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFAudioFormat_PCM;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &value))) c.bitsPerSample = value;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &value))) c.sampleRate = value;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &value))) c.channels = value;
  return c;
}

IMFSample* MakeSample(DWORD size) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(MFCreateSample(&sample))) return nullptr;
  if (FAILED(MFCreateMemoryBuffer(size, &buffer))) {
    sample->Release();
    return nullptr;
  }
  HRESULT hr = sample->AddBuffer(buffer);
  buffer->Release();
  if (FAILED(hr)) {
    sample->Release();
    return nullptr;
  }
  return sample;
}

// Hands buffer 0 of a decoded sample to the sink; true when it held PCM.
bool DeliverPcm(IMFSample* sample, PcmSink& sink) {
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return false;
  BYTE* data = nullptr;
  DWORD length = 0;
  bool delivered = false;
  if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
    if (length > 0) {
      sink.OnPcm(data, length);
      delivered = true;
    }
    buffer->Unlock();
  }
  buffer->Release();
  return delivered;
}

}  // namespace

void ReleaseAacDecoder(AacDecoder& aac) {
  if (aac.decoder != nullptr) {
    aac.decoder->Release();
    aac.decoder = nullptr;
  }
}

bool OpenAacDecoder(AacDecoder& aac, const DecoderSetup& setup) {
  ReleaseAacDecoder(aac);
  if (!DecoderFormatUsable(setup.sampleRate, setup.channels, setup.audioSpecificConfig)) {
    return false;
  }
  aac.decoder = ActivateFirstAacDecoder();
  if (aac.decoder == nullptr) return false;
  aac.setup = setup;
  aac.setup.frequencyIndex = AdtsFrequencyIndex(setup.sampleRate);

  IMFMediaType* input = MakeInputType(aac.setup);
  HRESULT hr = input != nullptr ? aac.decoder->SetInputType(0, input, 0) : E_OUTOFMEMORY;
  if (input != nullptr) input->Release();
  if (SUCCEEDED(hr) && SelectPcmOutput(aac)) {
    aac.decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    aac.decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    return true;
  }
  ReleaseAacDecoder(aac);
  return false;
}

bool SelectPcmOutput(AacDecoder& aac) {
  if (aac.decoder == nullptr) return false;
  std::vector<IMFMediaType*> types;
  std::vector<PcmCandidate> candidates;
  for (DWORD i = 0; i < kMaxOutputTypes; ++i) {
    IMFMediaType* type = nullptr;
    if (FAILED(aac.decoder->GetOutputAvailableType(0, i, &type))) break;
    types.push_back(type);
    candidates.push_back(DescribeOutputType(type));
  }
  const int chosen = ChoosePcmOutput(candidates, aac.setup.sampleRate, aac.setup.channels);
  bool ok = false;
  if (chosen >= 0) {
    ok = SUCCEEDED(aac.decoder->SetOutputType(0, types[static_cast<size_t>(chosen)], 0));
    if (ok) {
      aac.outputRate = candidates[static_cast<size_t>(chosen)].sampleRate;
      aac.outputChannels = candidates[static_cast<size_t>(chosen)].channels;
    }
  }
  for (IMFMediaType* type : types) type->Release();
  return ok;
}

bool DecodeFrame(AacDecoder& aac, const uint8_t* frame, size_t size, PcmSink& sink) {
  if (aac.decoder == nullptr || size == 0 || size > kAdtsMaxRawFrame) return false;
  const DWORD length = static_cast<DWORD>(size + kAdtsHeaderSize);
  IMFSample* sample = MakeSample(length);
  if (sample == nullptr) return false;
  IMFMediaBuffer* buffer = nullptr;
  BYTE* data = nullptr;
  bool filled = false;
  if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer))) {
    if (SUCCEEDED(buffer->Lock(&data, nullptr, nullptr))) {
      WriteAdtsHeader(data, aac.setup.frequencyIndex, aac.setup.channels, size);
      std::memcpy(data + kAdtsHeaderSize, frame, size);
      buffer->Unlock();
      filled = SUCCEEDED(buffer->SetCurrentLength(length));
    }
    buffer->Release();
  }
  HRESULT hr = E_FAIL;
  if (filled) {
    hr = aac.decoder->ProcessInput(0, sample, 0);
    if (hr == MF_E_NOTACCEPTING) {
      DrainAacDecoder(aac, sink);
      hr = aac.decoder->ProcessInput(0, sample, 0);
    }
  }
  sample->Release();
  if (FAILED(hr)) return false;
  DrainAacDecoder(aac, sink);
  return true;
}

int DrainAacDecoder(AacDecoder& aac, PcmSink& sink) {
  int delivered = 0;
  for (int pass = 0; pass < kMaxDrainOutputs && aac.decoder != nullptr; ++pass) {
    MFT_OUTPUT_STREAM_INFO info = {};
    if (FAILED(aac.decoder->GetOutputStreamInfo(0, &info))) break;
    // A transform that allocates its own samples must be given none.
    const bool ownSamples = (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
    IMFSample* sample = nullptr;
    if (!ownSamples) {
      sample = MakeSample(info.cbSize != 0 ? info.cbSize : kDefaultOutputBufferSize);
      if (sample == nullptr) break;
    }
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = 0;
    output.pSample = sample;
    DWORD status = 0;
    const HRESULT hr = aac.decoder->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents != nullptr) output.pEvents->Release();
    if (ownSamples) sample = output.pSample;
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
      if (sample != nullptr) sample->Release();
      // Without a usable output type the transform would report the same
      // change again and again: stop here.
      if (!SelectPcmOutput(aac)) break;
      sink.OnPcmFormat(aac.outputRate, aac.outputChannels);
      continue;
    }
    if (FAILED(hr)) {
      if (sample != nullptr) sample->Release();
      break;
    }
    if (sample != nullptr) {
      if (DeliverPcm(sample, sink)) ++delivered;
      sample->Release();
    }
  }
  return delivered;
}

void FlushAacDecoder(AacDecoder& aac) {
  if (aac.decoder != nullptr) aac.decoder->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
}

void AudioOutput::SetFormat(uint32_t sampleRate, uint32_t channels,
                            const std::vector<uint8_t>& audioSpecificConfig) {
  SetDecoderFormat(shared.config, sampleRate, channels, audioSpecificConfig);
}
