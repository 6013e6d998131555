#include "platform/linux/x11/nv12_converter.h"

#include "platform/linux/x11/bgrx_nv12_kernel.h"
#include "platform/linux/x11/bgrx_nv12_scale.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace qx::x11 {

namespace {
struct SwsDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
}  // namespace

struct Nv12Converter::Impl {
  int srcWidth = 0;
  int srcHeight = 0;
  int dstWidth = 0;
  int dstHeight = 0;
  enum class Kernel { none, same, half, scaled } kernel = Kernel::none;
  std::unique_ptr<BgrxNv12Scaler> scaler;
  std::unique_ptr<SwsContext, SwsDeleter> context;
};

Nv12Converter::Nv12Converter(int srcWidth, int srcHeight, int dstWidth, int dstHeight, Method method)
    : impl_(std::make_unique<Impl>()) {
  impl_->srcWidth = srcWidth;
  impl_->srcHeight = srcHeight;
  impl_->dstWidth = dstWidth;
  impl_->dstHeight = dstHeight;
  if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return;
  if (method == Method::fastest && dstWidth % 2 == 0 && dstHeight % 2 == 0) {
    if (srcWidth == dstWidth && srcHeight == dstHeight) {
      impl_->kernel = Impl::Kernel::same;
      return;
    }
    if (srcWidth == 2 * dstWidth && srcHeight == 2 * dstHeight) {
      impl_->kernel = Impl::Kernel::half;
      return;
    }
    auto scaler = std::make_unique<BgrxNv12Scaler>(srcWidth, srcHeight, dstWidth, dstHeight);
    if (scaler->ok()) {
      impl_->scaler = std::move(scaler);
      impl_->kernel = Impl::Kernel::scaled;
      return;
    }
  }
  impl_->context.reset(sws_getContext(srcWidth, srcHeight, AV_PIX_FMT_BGR0, dstWidth, dstHeight, AV_PIX_FMT_NV12,
                                      SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!impl_->context) return;
  // RGB input is full range; the encoder expects BT.709 video range.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (sws_setColorspaceDetails(impl_->context.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
    impl_->context.reset();
  }
}

Nv12Converter::~Nv12Converter() = default;

bool Nv12Converter::ok() const { return usesKernel() || impl_->context != nullptr; }

bool Nv12Converter::usesKernel() const { return impl_->kernel != Impl::Kernel::none; }

void Nv12Converter::convert(const std::uint8_t* bgrx, int srcStride, PixelBuffer& dst) {
  convertRect(bgrx, srcStride, dst, {0, 0, impl_->dstWidth, impl_->dstHeight});
}

PixelRect Nv12Converter::destinationFor(PixelRect src) const {
  const PixelRect s = intersection(src, {0, 0, impl_->srcWidth, impl_->srcHeight});
  if (!ok() || s.empty()) return {};
  switch (impl_->kernel) {
    case Impl::Kernel::same: return evenWithin(s, impl_->dstWidth, impl_->dstHeight);
    case Impl::Kernel::half:
      // Output x reads source columns 2x and 2x + 1.
      return evenWithin({s.x / 2, s.y / 2, (s.right() + 1) / 2 - s.x / 2, (s.bottom() + 1) / 2 - s.y / 2},
                        impl_->dstWidth, impl_->dstHeight);
    case Impl::Kernel::scaled: return impl_->scaler->destinationFor(s);
    case Impl::Kernel::none: break;
  }
  return {0, 0, impl_->dstWidth, impl_->dstHeight};
}

void Nv12Converter::convertRect(const std::uint8_t* bgrx, int srcStride, PixelBuffer& dst, PixelRect dstRect) {
  if (!ok() || dst.width() != impl_->dstWidth || dst.height() != impl_->dstHeight) return;
  const PixelRect r = evenWithin(dstRect, impl_->dstWidth, impl_->dstHeight);
  if (r.empty()) return;
  std::uint8_t* y = dst.plane(0) + static_cast<std::ptrdiff_t>(r.y) * dst.stride(0) + r.x;
  std::uint8_t* uv = dst.plane(1) + static_cast<std::ptrdiff_t>(r.y / 2) * dst.stride(1) + r.x;
  switch (impl_->kernel) {
    case Impl::Kernel::same:
      bgrxToNv12Bt709(bgrx + static_cast<std::ptrdiff_t>(r.y) * srcStride + 4 * r.x, srcStride, r.width, r.height, y,
                      dst.stride(0), uv, dst.stride(1));
      return;
    case Impl::Kernel::half:
      bgrxToNv12Bt709Half(bgrx + static_cast<std::ptrdiff_t>(2 * r.y) * srcStride + 8 * r.x, srcStride, r.width,
                          r.height, y, dst.stride(0), uv, dst.stride(1));
      return;
    case Impl::Kernel::scaled:
      impl_->scaler->convert(bgrx, srcStride, dst.plane(0), dst.stride(0), dst.plane(1), dst.stride(1), r);
      return;
    case Impl::Kernel::none: break;
  }
  // libswscale only converts whole pictures.
  const std::uint8_t* srcPlanes[4] = {bgrx, nullptr, nullptr, nullptr};
  const int srcStrides[4] = {srcStride, 0, 0, 0};
  std::uint8_t* dstPlanes[4] = {dst.plane(0), dst.plane(1), nullptr, nullptr};
  const int dstStrides[4] = {dst.stride(0), dst.stride(1), 0, 0};
  sws_scale(impl_->context.get(), srcPlanes, srcStrides, 0, impl_->srcHeight, dstPlanes, dstStrides);
}

}  // namespace qx::x11
