// Start-up of the media layer: GStreamer, our own elements, decoder preferences.
#include <gst/gst.h>

#include "media/aiff_reader.h"
#include "media/media_internal.h"
#include "media/wavdest.h"
#include "media/xing_writer.h"

GST_DEBUG_CATEGORY(ql_media_debug);
#define GST_CAT_DEFAULT ql_media_debug

// The base library's assertions fire inside plugins fed damaged files (the AVI demuxer
// combining the flow of a stream it never gave a pad); the file then fails or converts
// what it holds like any other. They go to the debug log, not to the user's terminal.
static void LogBaseLibraryMessage(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
  GST_WARNING("%s: %s", domain, message);
}

void MediaLayerInit() {
  static bool done = false;
  if (done) return;
  done = true;
  gst_init(nullptr, nullptr);
  GST_DEBUG_CATEGORY_INIT(ql_media_debug, "qlmedia", 0, "QuillLomare media layer");
  g_log_set_handler("GStreamer-Base", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                    LogBaseLibraryMessage, nullptr);
  RegisterWavDest();
  RegisterXingWriter();
  RegisterAiffReader();
  // mpg123 decodes MP3 about twice as fast as the libav decoder but loses the tie at
  // equal rank.
  g_autoptr(GstPluginFeature) mpg123 =
      gst_registry_lookup_feature(gst_registry_get(), "mpg123audiodec");
  if (mpg123) gst_plugin_feature_set_rank(mpg123, GST_RANK_PRIMARY + 1);
}
