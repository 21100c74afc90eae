#pragma once
// Our thin layer on Vulkan 1.3: what the fractal renderer and the HUD renderer need of a GPU, in the
// shape the rest of the program expects (a device with one queue, images, host-visible buffers,
// compute and render pipelines, command buffers with completion handlers and GPU times).
//
// What it does:
// - Picks a device: a discrete GPU, then an integrated one, then a CPU device (lavapipe).
// - Shares the device's one queue between every user behind a submit lock (lavapipe has one queue).
// - Keeps every image in VK_IMAGE_LAYOUT_GENERAL and orders every pass (dispatch, render pass, copy)
//   after everything submitted before it with a full memory barrier, the way a tracked-hazard API
//   behaves. That costs little at our pass counts and keeps synchronization validation quiet.
// - Retains every resource a command buffer uses until the GPU has finished with it, so callers can
//   drop their own references at any time.
// - Runs completion handlers on one completion thread per device.
// - Compiles GLSL at run time with shaderc: one compilation per function, the function selected by
//   the macro FUNCTION_<name>; a source without that function is "missing", not a compile error.
//
// What it does not do: swapchains and windows (Platform/Window), descriptor sets beyond push
// descriptors, mipmaps, multisampling, more than one queue.

#include "Platform/Gpu/GpuBuffer.h"
#include "Platform/Gpu/GpuCommandBuffer.h"
#include "Platform/Gpu/GpuDevice.h"
#include "Platform/Gpu/GpuError.h"
#include "Platform/Gpu/GpuImage.h"
#include "Platform/Gpu/GpuPipeline.h"
#include "Platform/Gpu/GpuShaderLibrary.h"
#include "Platform/Gpu/GpuTypes.h"
