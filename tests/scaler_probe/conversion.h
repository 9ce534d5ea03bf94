#pragma once

// The probe's frame conversion, defined in scaler_probe.cpp.
void ConvertBetweenNV12AndVenusNV12(unsigned char* src, unsigned int src_size, unsigned char* dst,
                                    unsigned int dst_size, int width, int height, bool to_venus);
