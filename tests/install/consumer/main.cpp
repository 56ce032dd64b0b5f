// An application built only against the installed headers and library.
#include <TaviSDK/TaviSDK.h>

#include <cstdio>

int main() {
    Discovery discovery;
    std::printf("%s %u\n", discovery.ConvertIpIntToString(0xC0A8010A),
                PixelBytesOfFormat(kPixelCoord3D_ABC16));
    return 0;
}
