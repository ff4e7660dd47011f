// The Ogg and Vorbis libraries whose entry points are resolved but not called here; the
// decoder's binding to libvorbisfile is in AuVorbis.cpp.
#include "vorbis/VorbisLibs.h"

namespace tunevert {

TCodecLibrary& OggLibrary() {
  static TCodecLibrary library(
      {"libogg.so.0"}, {"ogg_stream_init",    "ogg_stream_clear",     "ogg_stream_reset",
                        "ogg_stream_destroy", "ogg_stream_eos",       "ogg_page_checksum_set",
                        "ogg_page_version",   "ogg_page_continued",   "ogg_page_bos",
                        "ogg_page_eos",       "ogg_page_granulepos",  "ogg_page_serialno",
                        "ogg_page_pageno",    "ogg_page_packets",     "ogg_packet_clear",
                        "oggpack_writeinit",  "oggpack_reset",        "oggpack_writeclear",
                        "oggpack_readinit",   "oggpack_write",        "oggpack_look",
                        "oggpack_look_huff",  "oggpack_look1",        "oggpack_adv",
                        "oggpack_adv_huff",   "oggpack_adv1",         "oggpack_read",
                        "oggpack_read1",      "oggpack_bytes",        "oggpack_bits",
                        "oggpack_get_buffer", "ogg_stream_packetin",  "ogg_stream_pageout",
                        "ogg_stream_flush",   "ogg_sync_init",        "ogg_sync_clear",
                        "ogg_sync_reset",     "ogg_sync_destroy",     "ogg_sync_buffer",
                        "ogg_sync_wrote",     "ogg_sync_pageseek",    "ogg_sync_pageout",
                        "ogg_stream_pagein",  "ogg_stream_packetout", "ogg_stream_packetpeek"});
  return library;
}

TCodecLibrary& VorbisLibrary() {
  static TCodecLibrary library(
      {"libvorbis.so.0"},
      {"vorbis_info_init",          "vorbis_info_clear",          "vorbis_info_blocksize",
       "vorbis_comment_init",       "vorbis_comment_add",         "vorbis_comment_add_tag",
       "vorbis_comment_query",      "vorbis_comment_query_count", "vorbis_comment_clear",
       "vorbis_block_init",         "vorbis_block_clear",         "vorbis_dsp_clear",
       "vorbis_analysis_init",      "vorbis_commentheader_out",   "vorbis_analysis_headerout",
       "vorbis_analysis_buffer",    "vorbis_analysis_wrote",      "vorbis_analysis_blockout",
       "vorbis_analysis",           "vorbis_bitrate_addblock",    "vorbis_bitrate_flushpacket",
       "vorbis_synthesis_headerin", "vorbis_synthesis_init",      "vorbis_synthesis",
       "vorbis_synthesis_blockin",  "vorbis_synthesis_pcmout",    "vorbis_synthesis_read",
       "vorbis_packet_blocksize"});
  return library;
}

TCodecLibrary& VorbisEncLibrary() {
  static TCodecLibrary library(
      {"libvorbisenc.so.2"},
      {"vorbis_encode_init", "vorbis_encode_setup_managed", "vorbis_encode_setup_vbr",
       "vorbis_encode_init_vbr", "vorbis_encode_setup_init", "vorbis_encode_ctl"});
  return library;
}

bool LoadOggLibrary() {
  return OggLibrary().Load();
}

bool LoadVorbisLibrary() {
  return VorbisLibrary().Load();
}

bool LoadVorbisEncLibrary() {
  return VorbisEncLibrary().Load();
}

}  // namespace tunevert
