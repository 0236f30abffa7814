#!/usr/bin/python3
"""GNU Radio's own DVB-T transmitter (gr-dtv), used to check the receiver
script independently of terramod: a transport stream goes in, float32 I/Q
samples at the base rate come out, zero IF, as terramod writes them.

    gr_dvbt_tx.py INPUT.ts OUTPUT.bin [--mode 2k] [--constellation 4] [--alpha NH]
                  [--code-rate 1/2] [--guard 1/32]
"""
import argparse

from gnuradio import blocks, digital, dtv, gr

from dvbt_params import (CODE_RATES, CONSTELLATIONS, GUARD_INTERVALS,
                         HIERARCHIES, Transmission)


def build_transmitter(tx, input_path, output_path):
    mode = tx.ofdm
    constellation = CONSTELLATIONS[tx.constellation]
    hierarchy = HIERARCHIES[tx.alpha]
    rate = CODE_RATES[tx.code_rate]
    n, d = mode.fft_size, mode.data_carrier_count
    chain = [
        blocks.file_source(gr.sizeof_char, input_path, False),
        dtv.dvbt_energy_dispersal(1),
        dtv.dvbt_reed_solomon_enc(2, 8, 0x11d, 255, 239, 8, 51, 8),
        dtv.dvbt_convolutional_interleaver(136, 12, 17),
        dtv.dvbt_inner_coder(1, d, constellation, hierarchy, rate),
        dtv.dvbt_bit_inner_interleaver(d, constellation, hierarchy, mode.gr_mode),
        dtv.dvbt_symbol_inner_interleaver(d, mode.gr_mode, 1),
        dtv.dvbt_map(d, constellation, hierarchy, mode.gr_mode, 1),
        # In GNU Radio 3.10 this block also does the inverse FFT.
        dtv.dvbt_reference_signals(gr.sizeof_gr_complex, d, n, constellation, hierarchy,
                                   rate, rate, GUARD_INTERVALS[tx.guard], mode.gr_mode, 0, 0),
        digital.ofdm_cyclic_prefixer(n, n + tx.guard_length, 0, ""),
        blocks.file_sink(gr.sizeof_gr_complex, output_path, False),
    ]
    top = gr.top_block()
    top.connect(*chain)
    return top


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
    top = build_transmitter(tx, args.input, args.output)
    top.run()


if __name__ == "__main__":
    main()
