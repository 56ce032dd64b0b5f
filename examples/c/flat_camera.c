/* A first program with TaviSDK's flat C interface: find a camera, connect, set and read features,
 * stream its depth and colour channels, capture one frame of each, decode the point cloud and save
 * it as PCD, PLY and a 16-bit PNG depth image, and the colour frame as BMP. The same frames are then
 * saved again through the managed-caller twins (header plus separate buffer), and one more depth
 * frame is captured through a twin.
 *
 *   flat_camera [output-directory]     (default: the current directory)
 *
 * Build: cc -std=c99 flat_camera.c $(pkg-config --cflags --libs TaviSDK) -o flat_camera */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TaviSDK/FlatInterface.h"

enum {
    kCamera = 0,        /* the first camera of the discovery list */
    kDepthChannel = 0,  /* the depth sensor's stream (Coord3D_ABC16) */
    kColourChannel = 1, /* the colour sensor's stream */
    kWidth = 640,
    kHeight = 480,
    kLargestPixel = 6 /* bytes per pixel of the widest format, a point of three 16-bit values */
};
static const long long kCaptureWaitUs = 30000000; /* a frame within 30 s, or something is wrong */

static const char* g_directory = ".";

/* Stops the program with a message when a call failed. */
static void Check(int result, const char* what) {
    if (result != 0) {
        fprintf(stderr, "%s failed: %d\n", what, result);
        DestroyCamera(); /* closes streams and disconnects */
        exit(1);
    }
    printf("%s: ok\n", what);
}

static char* PathOf(const char* name) {
    static char path[4096];
    snprintf(path, sizeof path, "%s/%s", g_directory, name);
    return path;
}

/* A frame whose buffer comes from the C heap and holds any frame of the region. */
static PhotoInfo NewFrame(void) {
    PhotoInfo frame;
    memset(&frame, 0, sizeof frame);
    frame.data = calloc((size_t)kWidth * kHeight * kLargestPixel, 1);
    if (frame.data == NULL) {
        fprintf(stderr, "out of memory\n");
        exit(1);
    }
    return frame;
}

/* The header a managed caller would pass for a frame. */
static PhotoInfoCSharp HeaderOf(const PhotoInfo* frame) {
    PhotoInfoCSharp header;
    header.reserved = frame->reserved;
    header.pixel_format = frame->pixel_format;
    header.width = frame->width;
    header.height = frame->height;
    header.cloud_unit = frame->cloud_unit;
    header.payload_size = frame->payload_size;
    header.timestamp_high = frame->timestamp_high;
    header.timestamp_low = frame->timestamp_low;
    header.size_x = frame->size_x;
    header.size_y = frame->size_y;
    header.offset_x = frame->offset_x;
    header.offset_y = frame->offset_y;
    header.block_id = frame->block_id;
    header.channel_index = frame->channel_index;
    return header;
}

static void FindAndConnect(void) {
    int found = 0, round;
    /* Discovery waits a fixed time for answers; a camera that has just started may miss a round. */
    for (round = 0; round < 3 && found <= 0; ++round) found = DiscoverCamera();
    if (found <= 0) {
        fprintf(stderr, "no camera found (%d)\n", found);
        exit(1);
    }
    printf("cameras found: %d\n", found);
    CreateCamera();
    printf("camera %s, device version %s, library %s\n", CameraIP(kCamera), CameraVerions(kCamera),
           SDKVersion(kCamera));
    Check(CameraConnect(kCamera), "CameraConnect");
}

static void SetFeatures(void) {
    int channel;
    Check(SetExposureTime(kCamera, 5000, 0), "SetExposureTime");
    if (GetExposureTime(kCamera, 0) != 5000) Check(-1, "GetExposureTime reads back 5000");
    Check(SetLaserbrightness(kCamera, 60), "SetLaserbrightness");
    if (GetLaserbrightness(kCamera) != 60) Check(-1, "GetLaserbrightness reads back 60");
    /* A centred region of interest on both sensors, so that the frames are kWidth x kHeight. */
    for (channel = kDepthChannel; channel <= kColourChannel; ++channel) {
        Check(SetRoi(kCamera, channel, kWidth, kHeight, 320, 272), "SetRoi");
    }
}

static void CaptureFrames(PhotoInfo* depth, PhotoInfo* colour) {
    Check(StreamOn(kCamera, kDepthChannel), "StreamOn depth");
    Check(StreamOn(kCamera, kColourChannel), "StreamOn colour");
    Check(AcquisitionStart(kCamera), "AcquisitionStart");
    Check(TimeoutCapture(kCamera, kDepthChannel, depth, kCaptureWaitUs), "TimeoutCapture depth");
    Check(TimeoutCapture(kCamera, kColourChannel, colour, kCaptureWaitUs), "TimeoutCapture colour");
    printf("depth frame %ux%u, block %u, status %u; colour frame %ux%u, format 0x%08X\n", depth->width,
           depth->height, depth->block_id, depth->reserved, colour->width, colour->height,
           colour->pixel_format);
}

static void DecodeAndSave(PhotoInfo* depth) {
    size_t n, points = (size_t)depth->width * depth->height, measured = 0;
    float* xyz = malloc(points * 3 * sizeof(float));
    if (xyz == NULL) Check(-1, "malloc points");
    Convert3DPointFromCharToFloat(kCamera, depth, xyz);
    for (n = 0; n < points; ++n) measured += xyz[3 * n + 2] > 0.000001f;
    printf("decoded points: %zu measured of %zu, centre depth %.1f mm\n", measured, points,
           xyz[3 * (points / 2 + depth->width / 2) + 2]);
    free(xyz);
    Check(SavePointCloudToPcd(kCamera, depth, PathOf("cloud.pcd")), "SavePointCloudToPcd");
    Check(SavePointCloudToPly(kCamera, depth, PathOf("cloud.ply")), "SavePointCloudToPly");
    Check(SaveDepthToPng(kCamera, depth, PathOf("depth.png")), "SaveDepthToPng");
}

/* The same frames through the twins: each works on a private copy of header and bytes. The colour
 * frame is saved by the twin first, since the plain SaveToBMP converts a Bayer frame in place. */
static void SaveThroughTwins(const PhotoInfo* depth, PhotoInfo* colour) {
    PhotoInfoCSharp depth_header = HeaderOf(depth), colour_header = HeaderOf(colour);
    int depth_size = (int)depth->payload_size, colour_size = (int)colour->payload_size;
    Check(
        SavePointCloudToPcdCSharp(kCamera, &depth_header, depth->data, depth_size, PathOf("cloud-twin.pcd")),
        "SavePointCloudToPcdCSharp");
    Check(
        SavePointCloudToPlyCSharp(kCamera, &depth_header, depth->data, depth_size, PathOf("cloud-twin.ply")),
        "SavePointCloudToPlyCSharp");
    Check(SaveDepthToPngCSharp(kCamera, &depth_header, depth->data, depth_size, PathOf("depth-twin.png")),
          "SaveDepthToPngCSharp");
    Check(SaveToBMPCSharp(kCamera, &colour_header, colour->data, colour_size, PathOf("colour-twin.bmp")),
          "SaveToBMPCSharp");
    Check(SaveToBMP(kCamera, colour, PathOf("colour.bmp")), "SaveToBMP");
}

/* One more depth frame, captured and decoded through the twins alone. */
static void CaptureThroughTwins(void) {
    int length = kWidth * kHeight * kLargestPixel;
    void* buffer = calloc((size_t)length, 1);
    float* xyz = malloc((size_t)kWidth * kHeight * 3 * sizeof(float));
    PhotoInfoCSharp header;
    unsigned int complete = 0, incomplete = 0, timed_out = 0;
    if (buffer == NULL || xyz == NULL) Check(-1, "malloc twin buffers");
    Check(TimeoutCaptureCSharp(kCamera, kDepthChannel, &header, buffer, length, kCaptureWaitUs),
          "TimeoutCaptureCSharp");
    if (header.payload_size == 0) Check(-1, "a frame through TimeoutCaptureCSharp");
    Convert3DPointFromCharToFloatCSharp(kCamera, &header, buffer, length, xyz);
    printf("twin frame %ux%u, block %u, centre depth %.1f mm\n", header.width, header.height, header.block_id,
           xyz[3 * ((size_t)kWidth * kHeight / 2 + kWidth / 2) + 2]);
    Check(SavePointCloudToPlyCSharp(kCamera, &header, buffer, length, PathOf("captured-twin.ply")),
          "SavePointCloudToPlyCSharp of a twin capture");
    GetBlockStatistics(kCamera, kDepthChannel, &complete, &incomplete, &timed_out, NULL, NULL, NULL, NULL,
                       NULL);
    printf("depth blocks: %u complete, %u incomplete, %u timed out\n", complete, incomplete, timed_out);
    free(xyz);
    free(buffer);
}

int main(int argc, char** argv) {
    PhotoInfo depth, colour;
    if (argc > 1) g_directory = argv[1];
    FindAndConnect();
    SetFeatures();
    depth = NewFrame();
    colour = NewFrame();
    CaptureFrames(&depth, &colour);
    CaptureThroughTwins();
    Check(AcquisitionStop(kCamera), "AcquisitionStop");
    Check(StreamOff(kCamera, kDepthChannel), "StreamOff depth");
    Check(StreamOff(kCamera, kColourChannel), "StreamOff colour");
    DecodeAndSave(&depth);
    SaveThroughTwins(&depth, &colour);
    Check(CameraDisconnect(kCamera), "CameraDisconnect");
    DestroyCamera();
    free(depth.data);
    free(colour.data); /* the Bayer conversion gave the frame a new C-heap block */
    printf("done\n");
    return 0;
}
