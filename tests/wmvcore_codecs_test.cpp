// The writer's fixed codec table against the encoder itself: every listed format opens at
// the bitrate listed and writes packets of the listed block size.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "platform/wmvcore/CodecTable.h"
#include "platform/wmvcore/FFmpegHandles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
}

using namespace tunevert::wmvcore;

namespace {

std::string Name(const TEncoderFormat& F) {
  return std::to_string(F.Bitrate) + " bit/s, " + std::to_string(F.Rate) + " Hz, " +
         std::to_string(F.Channels) + " ch";
}

}  // namespace

TEST(WMACodecTable, TheEncoderWritesEveryListedFormatAsListed) {
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* Codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
  ASSERT_NE(Codec, nullptr);
  std::set<std::tuple<uint16_t, uint32_t, uint32_t>> Seen;
  for (const TEncoderFormat& F : EncoderFormats) {
    SCOPED_TRACE(Name(F));
    EXPECT_TRUE(Seen.emplace(F.Channels, F.Rate, F.Bitrate).second) << "listed twice";
    TCodecPtr Context(avcodec_alloc_context3(Codec));
    ASSERT_TRUE(Context);
    Context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    Context->sample_rate = static_cast<int>(F.Rate);
    av_channel_layout_default(&Context->ch_layout, F.Channels);
    Context->bit_rate = F.Bitrate;
    ASSERT_EQ(avcodec_open2(Context.get(), Codec, nullptr), 0);
    EXPECT_EQ(Context->bit_rate, F.Bitrate);
    EXPECT_EQ(Context->block_align, static_cast<int>(F.BlockAlign));

    // One frame of silence and the end: every packet is one block of the listed size.
    TFramePtr Frame(av_frame_alloc());
    TPacketPtr Packet(av_packet_alloc());
    ASSERT_TRUE(Frame && Packet);
    Frame->nb_samples = Context->frame_size;
    Frame->format = AV_SAMPLE_FMT_FLTP;
    Frame->sample_rate = Context->sample_rate;
    ASSERT_EQ(av_channel_layout_copy(&Frame->ch_layout, &Context->ch_layout), 0);
    ASSERT_EQ(av_frame_get_buffer(Frame.get(), 0), 0);
    av_samples_set_silence(Frame->data, 0, Frame->nb_samples, F.Channels, AV_SAMPLE_FMT_FLTP);
    ASSERT_EQ(avcodec_send_frame(Context.get(), Frame.get()), 0);
    ASSERT_EQ(avcodec_send_frame(Context.get(), nullptr), 0);
    int Packets = 0;
    while (avcodec_receive_packet(Context.get(), Packet.get()) == 0) {
      EXPECT_EQ(Packet->size, static_cast<int>(F.BlockAlign));
      ++Packets;
      av_packet_unref(Packet.get());
    }
    EXPECT_GT(Packets, 0);
  }
}
