#pragma once
// Reaches the private steps of GigeCamera for unit tests, and gives a camera a control socket
// without a connection, for tests of the bare transport.

#include "TaviSDK/GigeCamera.h"
#include "camera/control_channel.h"
#include "camera/heartbeat.h"
#include "net/udp_socket.h"
#include "support/scripted_gvcp_peer.h"

struct GigeCameraTestPeer {
    static int ReadMem(GigeCamera& camera, unsigned int address, unsigned short count, char* buffer) {
        return camera.ReadMem(address, count, buffer);
    }
    static int WriteMem(GigeCamera& camera, unsigned int address, unsigned short count, unsigned int value) {
        return camera.WriteMem(address, count, value);
    }
    static int GetPacketSize(GigeCamera& camera) { return camera.GetPacketSize(); }
    static tavi::ControlChannel& Control(GigeCamera& camera) { return *camera.control_; }
    static tavi::Heartbeat& Heartbeat(GigeCamera& camera) { return *camera.heartbeat_; }

    // A control socket as a connection opens it: bound to the PC address, 500 ms receive time-out.
    static void AttachControlSocket(GigeCamera& camera, uint32_t camera_ip) {
        const int socket = open_udp_socket();
        tavi::net::SetReceiveTimeout(socket, 500);
        bind_udp_socket(socket, tavi::test::kPcAddress, 0);
        camera.control_socket = socket;
        camera.camera_ip = camera_ip;
        camera.pc_ip = tavi::test::kPcAddress;
    }
    static void DetachControlSocket(GigeCamera& camera) {
        tavi::net::close_udp_socket(camera.control_socket);
        camera.control_socket = -1;
    }
};
