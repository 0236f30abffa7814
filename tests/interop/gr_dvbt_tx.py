#!/usr/bin/python3
"""GNU Radio's own DVB-T transmitter (gr-dtv), set up to send what terramod
sends: a transport stream goes in, float32 I/Q samples at the base rate and
zero IF come out. It checks the receiver script independently of terramod,
and its cells are compared with terramod's frame dump (cell_agreement.py).

    gr_dvbt_tx.py INPUT.ts OUTPUT.bin [--mode 2k] [--constellation 4] [--alpha NH]
                  [--code-rate 1/2] [--guard 1/32]

Set like terramod: the outer interleaver starts from zeros (terramod -c 0);
non-uniform constellations are one stream with the non-hierarchical coder
and bit interleaver, only the mapper and the TPS taking the alpha; the TPS
signals the LP code rate as 000 (1/2), the field terramod never fills.
"""
import argparse

import numpy as np
from gnuradio import blocks, digital, dtv, gr

from dvbt_params import (CODE_RATES, CONSTELLATIONS, GUARD_INTERVALS,
                         HIERARCHIES, Transmission)


def symbol_blocks(tx, input_path):
    """Transport stream to OFDM symbols of fft_size samples without guard
    interval (in GNU Radio 3.10 the reference-signal block also does the
    inverse FFT)."""
    mode = tx.ofdm
    constellation = CONSTELLATIONS[tx.constellation]
    alpha = HIERARCHIES[tx.alpha]
    rate = CODE_RATES[tx.code_rate]
    n, d = mode.fft_size, mode.data_carrier_count
    return [
        blocks.file_source(gr.sizeof_char, input_path, False),
        dtv.dvbt_energy_dispersal(1),
        dtv.dvbt_reed_solomon_enc(2, 8, 0x11d, 255, 239, 8, 51, 8),
        dtv.dvbt_convolutional_interleaver(136, 12, 17),
        dtv.dvbt_inner_coder(1, d, constellation, dtv.NH, rate),
        dtv.dvbt_bit_inner_interleaver(d, constellation, dtv.NH, mode.gr_mode),
        dtv.dvbt_symbol_inner_interleaver(d, mode.gr_mode, 1),
        dtv.dvbt_map(d, constellation, alpha, mode.gr_mode, 1),
        dtv.dvbt_reference_signals(gr.sizeof_gr_complex, d, n, constellation, alpha,
                                   rate, dtv.C1_2, GUARD_INTERVALS[tx.guard], mode.gr_mode,
                                   0, 0),
    ]


def build_transmitter(tx, input_path, output_path):
    n = tx.ofdm.fft_size
    chain = symbol_blocks(tx, input_path) + [
        digital.ofdm_cyclic_prefixer(n, n + tx.guard_length, 0, ""),
        blocks.file_sink(gr.sizeof_gr_complex, output_path, False),
    ]
    top = gr.top_block()
    top.connect(*chain)
    return top


def carrier_cells(tx, input_path, scratch_path):
    """The cells of every symbol sent, carrier 0 to K - 1 (one row per
    symbol), read back from the time-domain symbols with a forward FFT; in
    gr-dtv's own scale."""
    n, k = tx.ofdm.fft_size, tx.ofdm.carrier_count
    top = gr.top_block()
    top.connect(*symbol_blocks(tx, input_path),
                blocks.file_sink(gr.sizeof_gr_complex * n, scratch_path, False))
    top.run()
    symbols = np.fromfile(scratch_path, dtype=np.complex64).reshape(-1, n)
    carrier_bins = (np.arange(k) - (k - 1) // 2) % n
    return np.fft.fft(symbols, axis=1)[:, carrier_bins]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--mode", default="2k", choices=["2k", "8k"])
    parser.add_argument("--constellation", type=int, default=4, choices=[4, 16, 64])
    parser.add_argument("--alpha", default="NH", choices=list(HIERARCHIES))
    parser.add_argument("--code-rate", default="1/2", choices=list(CODE_RATES))
    parser.add_argument("--guard", default="1/32", choices=list(GUARD_INTERVALS))
    args = parser.parse_args()
    tx = Transmission(args.mode, args.constellation, args.alpha, args.code_rate, args.guard)
    build_transmitter(tx, args.input, args.output).run()


if __name__ == "__main__":
    main()
