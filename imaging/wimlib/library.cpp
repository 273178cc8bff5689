// The wimlib layer's table of calls: the library the linux build binds.
#include "imaging/wimlib/layer.h"

namespace {

using namespace layer;

const ImagingLibrary kWimlibLayer = {
    .registerMessageCallback = LayerRegisterMessageCallback,
    .unregisterMessageCallback = LayerUnregisterMessageCallback,
    .createFile = LayerCreateFile,
    .setTemporaryPath = LayerSetTemporaryPath,
    .getAttributes = LayerGetAttributes,
    .getImageCount = LayerGetImageCount,
    .loadImage = LayerLoadImage,
    .captureImage = LayerCaptureImage,
    .applyImage = LayerApplyImage,
    .exportImage = LayerExportImage,
    .deleteImage = LayerDeleteImage,
    .setBootImage = LayerSetBootImage,
    .getImageInformation = LayerGetImageInformation,
    .setImageInformation = LayerSetImageInformation,
    .mountImageHandle = LayerMountImageHandle,
    .getMountedImages = LayerGetMountedImages,
    .getMountedImageHandle = LayerGetMountedImageHandle,
    .commitImageHandle = LayerCommitImageHandle,
    .unmountImageHandle = LayerUnmountImageHandle,
    .splitFile = LayerSplitFile,
    .closeHandle = LayerCloseHandle,
};

}  // namespace

const ImagingLibrary& PlatformImagingLibrary()
{
    return kWimlibLayer;
}