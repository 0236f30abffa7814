#!/usr/bin/python3
"""DVB-T receiver built from GNU Radio's gr-dtv blocks: reads a file of
baseband samples as terramod writes them and writes the transport stream it
decodes.

    dvbt_rx.py SAMPLES OUTPUT.ts [--format float|agi|2x|4x] [--sample-type cf32|cs16|cs8]
               [--bb-if]
               [--mode 2k] [--constellation 4] [--alpha NH] [--code-rate 1/2]
               [--guard 1/32] [--known-timing]

SAMPLES is the output file (float32 I/Q pairs; cs16/cs8 integers are divided
by the dvbt:scale of the SigMF metadata beside them), or the base name of the
_I.bin/_Q.bin pair for the Agilent format. Every format is first brought to
float I/Q at the base rate and zero IF (signal_formats), then decoded in two
passes: the demodulator (acquisition to bit deinterleaver) writes the hard
decided cells to a scratch file, and the decoder (Viterbi to energy
descrambler) reads them followed by enough filler cells to push the last real
bits through its pipeline. Without that flush gr-dtv keeps the last 100-200
packets of a file inside its blocks; with it, every packet that left the
transmitter comes out, followed by a few garbage packets decoded from the
filler (which the caller ignores).
"""
import argparse
import os
import sys
import tempfile
from fractions import Fraction

import numpy as np
from gnuradio import blocks, dtv, fft, gr
from gnuradio.fft import window

from dvbt_params import (BITS_PER_CELL, CODE_RATES, CONSTELLATIONS, GUARD_INTERVALS,
                         HIERARCHIES, PACKET_SIZE, RS_PACKET_SIZE, Transmission)
import signal_formats

ACQUISITION_SNR_DB = 30
VITERBI_BLOCK_BITS = 768
# Silence after the last symbol: the acquisition block holds back the last two
# symbols of a stream until it sees what follows them.
TRAILING_SILENCE_SYMBOLS = 4
# Filler after the last real cell, in RS packets' worth of cells: more than
# the decoder blocks hold back at the end of a stream (measured: about 110).
FLUSH_PACKETS = 300


def symbol_acquisition(tx, known_timing):
    """gr-dtv's symbol acquisition (a maximum-likelihood cyclic prefix
    correlator), or with known_timing the symbol timing given: the FFT window
    at the end of each guard interval, symbol 0 starting at sample 0.

    gr-dtv's correlator loses lock when the first or the last samples of the
    prefix do not repeat the symbol's end (the first 32 of 512 replaced by
    noise are enough), which is what symbol windowing does by design; a
    windowed signal is decoded with the timing given."""
    n, g = tx.ofdm.fft_size, tx.guard_length
    if known_timing:
        return [blocks.keep_m_in_n(gr.sizeof_gr_complex, n, n + g, g),
                blocks.stream_to_vector(gr.sizeof_gr_complex, n)]
    return [dtv.dvbt_ofdm_sym_acquisition(1, n, tx.ofdm.carrier_count, g, ACQUISITION_SNR_DB)]


def demodulator(tx, samples_path, cells_path, known_timing=False):
    """Samples at zero IF to hard-decided, deinterleaved cells (one byte per
    cell, its bits in the low positions)."""
    return [
        blocks.file_source(gr.sizeof_gr_complex, samples_path, False),
        *demodulation(tx, known_timing),
        blocks.file_sink(gr.sizeof_char, cells_path, False),
    ]


def demodulation(tx, known_timing=False):
    """The blocks from complex samples to cells. For non-uniform
    constellations only the demapper takes the alpha: terramod sends them as
    one stream with the non-hierarchical bit demultiplexing."""
    mode = tx.ofdm
    constellation = CONSTELLATIONS[tx.constellation]
    rate = CODE_RATES[tx.code_rate]
    n, d = mode.fft_size, mode.data_carrier_count
    return [
        *symbol_acquisition(tx, known_timing),
        fft.fft_vcc(n, True, window.rectangular(n), True, 1),
        dtv.dvbt_demod_reference_signals(gr.sizeof_gr_complex, n, d, constellation,
                                         HIERARCHIES[tx.alpha], rate, rate,
                                         GUARD_INTERVALS[tx.guard], mode.gr_mode, 0, 0),
        dtv.dvbt_demap(d, constellation, HIERARCHIES[tx.alpha], mode.gr_mode, 1),
        dtv.dvbt_symbol_inner_interleaver(d, mode.gr_mode, 0),
        dtv.dvbt_bit_inner_deinterleaver(d, constellation, dtv.NH, mode.gr_mode),
        blocks.vector_to_stream(1, d),
    ]


def decoder(tx, cells_path, output_path):
    """Deinterleaved cells to transport stream packets."""
    return [
        blocks.file_source(gr.sizeof_char, cells_path, False),
        *decoding(tx),
        blocks.file_sink(gr.sizeof_char, output_path, False),
    ]


def decoding(tx):
    """The blocks from cells to packets: Viterbi decoder, outer
    deinterleaver, Reed-Solomon decoder, energy descrambler."""
    return [
        dtv.dvbt_viterbi_decoder(CONSTELLATIONS[tx.constellation], dtv.NH,
                                 CODE_RATES[tx.code_rate], VITERBI_BLOCK_BITS),
        dtv.dvbt_convolutional_deinterleaver(136, 12, 17),
        dtv.dvbt_reed_solomon_dec(2, 8, 0x11d, 255, 239, 8, 51, 8),
        dtv.dvbt_energy_descramble(8),
    ]


def run_chain(chain):
    top = gr.top_block()
    top.connect(*chain)
    top.run()


def flush_cell_count(tx):
    """Cells carrying FLUSH_PACKETS RS packets, in whole OFDM symbols."""
    cells = FLUSH_PACKETS * RS_PACKET_SIZE * 8 / (Fraction(tx.code_rate)
                                                  * BITS_PER_CELL[tx.constellation])
    d = tx.ofdm.data_carrier_count
    return -(-int(cells) // d) * d


def decode(tx, samples, output_path, known_timing=False):
    """Runs the receiver over complex base-rate samples at zero IF; returns
    the number of OFDM symbols the demodulator delivered."""
    directory = os.path.dirname(os.path.abspath(output_path))
    silence = np.zeros(TRAILING_SILENCE_SYMBOLS * tx.symbol_length, np.complex64)
    with tempfile.TemporaryDirectory(dir=directory) as scratch:
        samples_path = os.path.join(scratch, "samples.cf32")
        cells_path = os.path.join(scratch, "cells.u8")
        with open(samples_path, "wb") as stream:
            np.asarray(samples, np.complex64).tofile(stream)
            silence.tofile(stream)
        run_chain(demodulator(tx, samples_path, cells_path, known_timing))
        cell_count = os.path.getsize(cells_path)
        with open(cells_path, "ab") as stream:
            stream.write(bytes(flush_cell_count(tx)))
        run_chain(decoder(tx, cells_path, output_path))
    return cell_count // tx.ofdm.data_carrier_count


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("samples")
    parser.add_argument("output")
    parser.add_argument("--format", default="float", choices=signal_formats.FORMATS)
    parser.add_argument("--sample-type", default="cf32", choices=list(signal_formats.SAMPLE_TYPES))
    parser.add_argument("--bb-if", action="store_true",
                        help="the spectrum is centred on half the sampling rate (-f BBIF)")
    parser.add_argument("--known-timing", action="store_true",
                        help="symbol timing given instead of acquired (for --window outputs)")
    parser.add_argument("--mode", default="2k", choices=["2k", "8k"])
    parser.add_argument("--constellation", type=int, default=4, choices=[4, 16, 64])
    parser.add_argument("--alpha", default="NH", choices=list(HIERARCHIES))
    parser.add_argument("--code-rate", default="1/2", choices=list(CODE_RATES))
    parser.add_argument("--guard", default="1/32", choices=list(GUARD_INTERVALS))
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    tx = Transmission(args.mode, args.constellation, args.alpha, args.code_rate, args.guard)
    samples = signal_formats.base_rate_samples(args.samples, args.format, tx.mode, args.bb_if,
                                               args.sample_type)
    symbols = decode(tx, samples, args.output, args.known_timing)
    print(f"demodulated {symbols} OFDM symbols; "
          f"wrote {os.path.getsize(args.output) // PACKET_SIZE} packets to {args.output}")


if __name__ == "__main__":
    main(sys.argv[1:])
