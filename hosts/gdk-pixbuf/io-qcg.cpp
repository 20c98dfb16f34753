// The gdk-pixbuf loader module for Quorvanel CG pictures: one-shot loading from
// a file and incremental loading in chunks of any size, both decoding through
// the image filter (memory_picture.h). The bytes are collected until the
// picture is complete, then decoded in one go: the filter decodes whole
// pictures. The size is announced (size-prepared) as soon as the 12 header
// bytes are in; a caller asking for another size gets the full picture scaled
// by GdkPixbufLoader, which does that for every module that does not scale.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include "memory_picture.h"
#include "qrvnel.h"

namespace {

using qrv::hosts::Stage;

struct LoadContext {
  GdkPixbufModuleSizeFunc sizeFunc = nullptr;
  GdkPixbufModulePreparedFunc preparedFunc = nullptr;
  GdkPixbufModuleUpdatedFunc updatedFunc = nullptr;
  gpointer userData = nullptr;
  guint8* bytes = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  size_t wanted = SIZE_MAX;  // bytes that can matter, once the header is in
  bool sized = false;        // the header is in and was accepted
  // The first failure, repeated by every later call.
  bool failed = false;
  GQuark failureDomain = 0;
  gint failureCode = 0;
  std::string failure;
};

void Fail(LoadContext* context, GQuark domain, gint code, std::string message, GError** error) {
  if (!context->failed) {
    context->failed = true;
    context->failureDomain = domain;
    context->failureCode = code;
    context->failure = std::move(message);
  }
  g_set_error_literal(error, context->failureDomain, context->failureCode,
                      context->failure.c_str());
}

void FailWithCode(LoadContext* context, int32_t rc, Stage stage, GError** error) {
  gint code = GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
  if (rc == RC_UNKNOWN_FORMAT && stage == Stage::kHeader) code = GDK_PIXBUF_ERROR_UNKNOWN_TYPE;
  if (rc == RC_NO_MEMORY || rc == RC_MEMORY_ERROR) code = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
  if (rc == RC_INTERNAL_ERROR || rc == RC_NOT_IMPLEMENTED) code = GDK_PIXBUF_ERROR_FAILED;
  Fail(context, GDK_PIXBUF_ERROR, code, qrv::hosts::FailureMessage(rc, stage), error);
}

// Reads the header once its bytes are in: announces the size and from then on
// keeps only the bytes that can matter.
gboolean TakeHeader(LoadContext* context, GError** error) {
  qrv::hosts::PictureSize size;
  int32_t rc = qrv::hosts::ReadPictureSize(context->bytes, context->count, &size);
  if (rc != RC_OK) {
    FailWithCode(context, rc, Stage::kHeader, error);
    return FALSE;
  }
  context->sized = true;
  context->wanted = qrv::hosts::MostPictureBytes(size);
  if (context->count > context->wanted) context->count = context->wanted;
  if (context->sizeFunc != nullptr) {
    gint width = size.width;
    gint height = size.height;
    context->sizeFunc(&width, &height, context->userData);
    // A size of 0 is how a caller that wanted only the size stops the load.
    if (width == 0 || height == 0) {
      Fail(context, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
           "picture not loaded: a size of 0 was asked for", error);
      return FALSE;
    }
  }
  return TRUE;
}

// Adds bytes, dropping those past the last one that can matter.
gboolean Collect(LoadContext* context, const guint8* data, size_t count, GError** error) {
  size_t room = context->wanted - context->count;
  if (count > room) count = room;
  if (count == 0) return TRUE;
  if (count > context->capacity - context->count) {
    size_t capacity = context->capacity < 65536 ? 65536 : context->capacity;
    while (capacity - context->count < count) {
      capacity = capacity > SIZE_MAX / 2 ? SIZE_MAX : capacity * 2;
    }
    if (capacity > context->wanted) capacity = context->wanted;
    auto* grown = static_cast<guint8*>(g_try_realloc(context->bytes, capacity));
    if (grown == nullptr) {
      FailWithCode(context, RC_NO_MEMORY, Stage::kPicture, error);
      return FALSE;
    }
    context->bytes = grown;
    context->capacity = capacity;
  }
  memcpy(context->bytes + context->count, data, count);
  context->count += count;
  if (!context->sized && context->count >= qrv::hosts::kPictureHeaderBytes) {
    return TakeHeader(context, error);
  }
  return TRUE;
}

void FreePixels(guchar* pixels, gpointer) { free(pixels); }

// Decodes the collected bytes: a new pixbuf, or null with *error set.
GdkPixbuf* Finish(LoadContext* context, GError** error) {
  if (context->failed) {
    Fail(context, 0, 0, {}, error);
    return nullptr;
  }
  if (!context->sized && !TakeHeader(context, error)) return nullptr;
  qrv::hosts::RgbPicture picture;
  int32_t rc = qrv::hosts::DecodeRgbPicture(context->bytes, context->count, &picture);
  if (rc != RC_OK) {
    FailWithCode(context, rc, Stage::kPicture, error);
    return nullptr;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(picture.pixels, GDK_COLORSPACE_RGB, FALSE, 8,
                                               picture.width, picture.height,
                                               static_cast<int>(picture.stride), FreePixels,
                                               nullptr);
  if (pixbuf == nullptr) {
    free(picture.pixels);
    FailWithCode(context, RC_NO_MEMORY, Stage::kPicture, error);
  }
  return pixbuf;
}

void DeleteContext(LoadContext* context) {
  g_free(context->bytes);
  delete context;
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError** error) {
  auto* context = new (std::nothrow) LoadContext;
  if (context == nullptr) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                        qrv::hosts::FailureMessage(RC_NO_MEMORY, Stage::kHeader).c_str());
    return nullptr;
  }
  context->sizeFunc = sizeFunc;
  context->preparedFunc = preparedFunc;
  context->updatedFunc = updatedFunc;
  context->userData = userData;
  return context;
}

gboolean LoadIncrement(gpointer data, const guchar* buffer, guint size, GError** error) {
  auto* context = static_cast<LoadContext*>(data);
  if (context->failed) {
    Fail(context, 0, 0, {}, error);
    return FALSE;
  }
  return Collect(context, buffer, size, error);
}

// Always frees the context: gdk-pixbuf calls this once, also after a failed
// increment.
gboolean StopLoad(gpointer data, GError** error) {
  auto* context = static_cast<LoadContext*>(data);
  GdkPixbuf* pixbuf = Finish(context, error);
  if (pixbuf != nullptr) {
    // Announced only when every pixel is in: a failed picture is never shown.
    if (context->preparedFunc != nullptr) {
      context->preparedFunc(pixbuf, nullptr, context->userData);
    }
    if (context->updatedFunc != nullptr) {
      context->updatedFunc(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf),
                           gdk_pixbuf_get_height(pixbuf), context->userData);
    }
    g_object_unref(pixbuf);
  }
  DeleteContext(context);
  return pixbuf != nullptr;
}

GdkPixbuf* LoadFile(FILE* file, GError** error) {
  auto* context = static_cast<LoadContext*>(BeginLoad(nullptr, nullptr, nullptr, nullptr, error));
  if (context == nullptr) return nullptr;
  guint8 chunk[32768];
  bool ok = true;
  while (ok && context->count < context->wanted) {
    size_t got = fread(chunk, 1, sizeof chunk, file);
    if (got == 0) {
      if (ferror(file)) {
        int problem = errno;
        Fail(context, G_FILE_ERROR, g_file_error_from_errno(problem),
             std::string("cannot read the picture: ") + g_strerror(problem), error);
        ok = false;
      }
      break;
    }
    ok = Collect(context, chunk, got, error) != FALSE;
  }
  GdkPixbuf* pixbuf = ok ? Finish(context, error) : nullptr;
  DeleteContext(context);
  return pixbuf;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->load = LoadFile;
  module->begin_load = BeginLoad;
  module->load_increment = LoadIncrement;
  module->stop_load = StopLoad;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
  // Bytes 0 to 3 (the stored size) are anything; "QRV" follows.
  static GdkPixbufModulePattern signature[] = {
      {const_cast<char*>("    QRV"), const_cast<char*>("xxxx   "), 100},
      {nullptr, nullptr, 0},
  };
  static const gchar* mimeTypes[] = {"image/x-quorvanel-cg", nullptr};
  static const gchar* extensions[] = {"qcg", nullptr};
  info->name = const_cast<gchar*>("qcg");
  info->signature = signature;
  info->description = const_cast<gchar*>("Quorvanel CG picture");
  info->mime_types = const_cast<gchar**>(mimeTypes);
  info->extensions = const_cast<gchar**>(extensions);
  // Nothing is shared between loads.
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("other");
}

}  // extern "C"
