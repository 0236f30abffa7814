// The exact texts of terramod's version and help answers, shared by the unit
// and end-to-end tests.
#pragma once

namespace terramod {

inline constexpr char kExpectedBanner[] =
    "\nDVB-T compliant software transmitter\n"
    "Terramod v. 1.2j Win32   - Beta (2004/08/23)\n"
    "terramod developers\n"
    "https://terramod.example.org\n"
    "Standard ETSI EN 300 744 V1.1.2 (1997-08)\n";

inline constexpr char kExpectedHelp[] =
    "\nCurrent available options are:\n\n"
    "-i\tMPEG-2 transport stream file name\n"
    "-o\tDAC output file name\n"
    "-l\tlog file name\n"
    "-2k\t2048 carriers OFDM\n"
    "-8k\t8192 carriers OFDM\n"
    "-M\tconstellation order (4, 16, 64)\n"
    "-a\tuniformity order (NH, 1, 2, 4)\n"
    "-D\tcircular prefix duration (1/32, 1/16, 1/8, 1/4)\n"
    "-p\tpuncturing rate (1/2, 2/3, 3/4, 5/6, 7/8)\n"
    "-b\tchannel spacing (6, 7, 8)\n"
    "-c\tconv. interleaver initialization (0, rand)\n"
    "-f\tfrequency mapping method (0, BBIF)\n"
    "-v\tverbosity level (0 to 4)\n"
    "-V\tprint version number and exit\n"
    "-d\tdump level (ercvpbsmft)\n"
    "  \te - Energy disperser\n"
    "  \tr - Reed-Solomon encoder\n"
    "  \tc - Convolutional interleaver\n"
    "  \tv - Convolutional encoder\n"
    "  \tp - Puncturer\n"
    "  \tb - Bit interleaver\n"
    "  \ts - Symbol interleaver\n"
    "  \tm - Mapper\n"
    "  \tf - Pre-IFFT\n"
    "  \tt - Post-IFFT (alone or with -F)\n"
    "-F\tPost-IFFT format (agi, HP, 2x, 4x)\n"
    "\n"
    "Long options:\n"
    "\n"
    "--sample-type T\tPost-IFFT sample type for the standard, 2x and 4x formats:\n"
    "  \tcf32 (32-bit float I/Q, default), cs16 (16-bit), cs8 (8-bit)\n"
    "--backoff DB\tcs16/cs8: nominal RMS level in dB below full scale (default 12)\n"
    "--no-sigmf\tno SigMF metadata file beside the output file\n"
    "--adapt-rate\tre-time the stream to the channel's useful bit rate (null packets\n"
    "  \tadded or dropped, PCRs restamped)\n"
    "--device ARGS\ttransmit through SoapySDR to the device ARGS names (driver=hackrf)\n"
    "--frequency HZ\tcentre frequency of the transmission (required with --device)\n"
    "--gain DB\tdevice gain (default the device's minimum)\n"
    "--channel N\tdevice channel (default 0)\n"
    "--antenna NAME\tdevice antenna\n"
    "--loop\t\tstart a file input again at its beginning when it ends\n"
    "--lp-input FILE\thierarchical transmission (with -M 16|64 and -a 1|2|4): FILE is\n"
    "  \tthe low-priority stream, -i the high-priority one\n"
    "--lp-rate R\tlow-priority code rate (1/2, 2/3, 3/4, 5/6, 7/8; default 1/2)\n"
    "--bandwidth HZ\tany channel bandwidth up to 10 MHz (e.g. 500000, 1.7e6, 5e6):\n"
    "  \tsampling rate 8/7 of it; the samples do not change\n"
    "--threads N\tthreads that compute side by side (default: every processor)\n"
    "--precise\texact transform in double precision (FFTW), rounded to float once\n"
    "--window N\traised-cosine transition of N samples between symbols, inside the\n"
    "  \tguard interval (0 = off, default; at most a quarter of the guard)\n"
    "--lenient\twith --device: transmit although an argument was unknown or a value\n"
    "  \tfell back to a default or was ignored (refused without it)\n";

}  // namespace terramod
