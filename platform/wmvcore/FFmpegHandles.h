#pragma once

// Owners of FFmpeg's objects, each freed by the call FFmpeg provides for it.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace tunevert::wmvcore {

// A custom I/O context together with the buffer it was given.
struct TIoFree {
  void operator()(AVIOContext* P) const {
    if (P) av_freep(&P->buffer);
    avio_context_free(&P);
  }
};
struct TCodecFree {
  void operator()(AVCodecContext* P) const { avcodec_free_context(&P); }
};
struct TSwrFree {
  void operator()(SwrContext* P) const { swr_free(&P); }
};
struct TFifoFree {
  void operator()(AVAudioFifo* P) const { av_audio_fifo_free(P); }
};
struct TPacketFree {
  void operator()(AVPacket* P) const { av_packet_free(&P); }
};
struct TFrameFree {
  void operator()(AVFrame* P) const { av_frame_free(&P); }
};

using TIoPtr = std::unique_ptr<AVIOContext, TIoFree>;
using TCodecPtr = std::unique_ptr<AVCodecContext, TCodecFree>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrFree>;
using TFifoPtr = std::unique_ptr<AVAudioFifo, TFifoFree>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketFree>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;

}  // namespace tunevert::wmvcore
