#!/usr/bin/python3
"""Hierarchical DVB-T reception (two transport streams, HP and LP) with
gr-dtv 3.10 blocks and a little numpy, because gr-dtv's own hierarchical
blocks cannot be used (see README, "Hierarchical reception").

    hierarchical_rx.py SAMPLES HP.ts LP.ts --constellation 16|64 --alpha 1|2|4
                       --hp-rate R --lp-rate R [--mode 2k] [--guard 1/32]
                       [--format float|agi|2x|4x] [--bb-if]

The path: gr-dtv's demodulator up to its NON-hierarchical bit deinterleaver
(dvbt_rx.demodulator), which gives per cell the word (x0 .. x(v-1)) that the
non-hierarchical demultiplexer would have read; split_words puts those bits
back into the order of the sub-streams b0 .. b(v-1) and takes b0 b1 as the
HP word and the rest in the hierarchical demultiplexer's order (EN 300 744
clause 4.3.4.1) as the LP word; each stream then goes through its own
Viterbi (set to QPSK for 2 bits a byte, 16QAM for 4), outer deinterleaver,
Reed-Solomon decoder and energy descrambler (dvbt_rx.decoder).
"""
import argparse
import os
import sys
import tempfile
from fractions import Fraction

import numpy as np
from gnuradio import blocks, dtv, gr

from dvbt_params import BITS_PER_CELL, CODE_RATES, PACKET_SIZE, RS_PACKET_SIZE, Transmission
import dvbt_rx
import signal_formats

# Sub-stream b_e that the non-hierarchical demultiplexer fed from x_k, by
# bits per cell (clause 4.3.4.1): the deinterleaved word is (b[NH[0]], ...).
NON_HIERARCHICAL_DEMUX = {4: (0, 2, 1, 3), 6: (0, 2, 4, 1, 3, 5)}
# Sub-stream of x'0, x'1, x''0 .. x''(v-3) in the hierarchical demultiplexer.
HIERARCHICAL_DEMUX = {4: (0, 1, 2, 3), 6: (0, 1, 2, 4, 3, 5)}


def word_bits(words, v):
    """Words of v bits to an array of shape (n, v), most significant first."""
    words = np.asarray(words, np.uint8)
    return (words[:, None] >> np.arange(v - 1, -1, -1)) & 1


def bits_word(bits):
    """The inverse of word_bits."""
    v = bits.shape[1]
    return (bits << np.arange(v - 1, -1, -1)).sum(axis=1).astype(np.uint8)


def split_words(words, v):
    """Non-hierarchically deinterleaved cell words to (HP words of 2 bits,
    LP words of v - 2 bits), both in their streams' bit order."""
    x = word_bits(words, v)
    b = np.empty_like(x)
    b[:, list(NON_HIERARCHICAL_DEMUX[v])] = x
    hp = b[:, [0, 1]]
    lp = b[:, list(HIERARCHICAL_DEMUX[v][2:])]
    return bits_word(hp), bits_word(lp)


def naive_split(words, v):
    """The split that looks obvious and is wrong: the top two bits of the
    deinterleaved word as HP, the rest as LP."""
    words = np.asarray(words, np.uint8)
    return (words >> (v - 2)) & 3, words & ((1 << (v - 2)) - 1)


def decoder_for(bits_per_word, code_rate, words_path, output_path):
    """dvbt_rx.decoder for one stream: Viterbi set to QPSK for 2-bit words,
    16QAM for 4-bit ones (the Viterbi unpacks as many bits a byte as its
    constellation has)."""
    constellation = 4 if bits_per_word == 2 else 16
    tx = Transmission(constellation=constellation, code_rate=code_rate)
    return dvbt_rx.decoder(tx, words_path, output_path)


def flush_word_count(bits_per_word, code_rate):
    return int(dvbt_rx.FLUSH_PACKETS * RS_PACKET_SIZE * 8
               / (Fraction(code_rate) * bits_per_word)) + 1


def decode_stream(words, bits_per_word, code_rate, output_path, scratch):
    words_path = os.path.join(scratch, os.path.basename(output_path) + ".words")
    with open(words_path, "wb") as stream:
        np.asarray(words, np.uint8).tofile(stream)
        stream.write(bytes(flush_word_count(bits_per_word, code_rate)))
    dvbt_rx.run_chain(decoder_for(bits_per_word, code_rate, words_path, output_path))


def decode_words(words, v, hp_rate, lp_rate, hp_path, lp_path, split=split_words):
    """Deinterleaved cell words to the two transport streams."""
    hp, lp = split(words, v)
    directory = os.path.dirname(os.path.abspath(hp_path))
    with tempfile.TemporaryDirectory(dir=directory) as scratch:
        decode_stream(hp, 2, hp_rate, hp_path, scratch)
        decode_stream(lp, v - 2, lp_rate, lp_path, scratch)


def demodulate(tx, samples, scratch):
    """Complex base-rate samples to non-hierarchically deinterleaved words."""
    silence = np.zeros(dvbt_rx.TRAILING_SILENCE_SYMBOLS * tx.symbol_length, np.complex64)
    samples_path = os.path.join(scratch, "samples.cf32")
    cells_path = os.path.join(scratch, "cells.u8")
    with open(samples_path, "wb") as stream:
        np.asarray(samples, np.complex64).tofile(stream)
        silence.tofile(stream)
    dvbt_rx.run_chain(dvbt_rx.demodulator(tx, samples_path, cells_path))
    return np.fromfile(cells_path, np.uint8)


def decode(tx, lp_rate, samples, hp_path, lp_path):
    """Samples to the HP and LP streams; returns the OFDM symbols demodulated.
    tx.code_rate is the HP code rate."""
    directory = os.path.dirname(os.path.abspath(hp_path))
    with tempfile.TemporaryDirectory(dir=directory) as scratch:
        words = demodulate(tx, samples, scratch)
    v = BITS_PER_CELL[tx.constellation]
    decode_words(words, v, tx.code_rate, lp_rate, hp_path, lp_path)
    return len(words) // tx.ofdm.data_carrier_count


# ------------------------------------------------------- bit-level oracle

def interleave_groups(hp_bits, lp_bits, v, demux):
    """Each cell's HP bits then LP bits as one group, demultiplexed by `demux`
    into b0 .. b(v-1), each sub-stream e read at H_e(w) = (w + offset_e) mod
    126; returns one word per cell."""
    offsets = (0, 63, 105, 42, 21, 84)
    blocks = min(len(hp_bits) // 252, len(lp_bits) // (126 * (v - 2)))
    hp = np.asarray(hp_bits[:blocks * 252], np.uint8).reshape(blocks, 126, 2)
    lp = np.asarray(lp_bits[:blocks * 126 * (v - 2)], np.uint8).reshape(blocks, 126, v - 2)
    group = np.concatenate([hp, lp], axis=2)
    b = np.empty_like(group)
    b[:, :, list(demux[v])] = group
    w = np.arange(126)
    y = np.stack([b[:, (w + offsets[e]) % 126, e] for e in range(v)], axis=2)
    return bits_word(y.reshape(-1, v))


def hierarchical_interleave(hp_bits, lp_bits, v):
    """EN 300 744 clause 4.3.4.1 for hierarchical transmission, as a test
    signal source: HP bits x'0 x'1 and LP bits x''0 .. per cell through the
    hierarchical demultiplexer (HIERARCHICAL_DEMUX)."""
    return interleave_groups(hp_bits, lp_bits, v, HIERARCHICAL_DEMUX)


def mirror_image_interleave(hp_bits, lp_bits, v):
    """The merge a naive split would invert: each cell's HP bits then LP bits
    as one group x0 .. x(v-1) of the NON-hierarchical demultiplexer."""
    return interleave_groups(hp_bits, lp_bits, v, NON_HIERARCHICAL_DEMUX)


def deinterleave_with_gr_dtv(cells, v, mode="2k"):
    """gr-dtv's non-hierarchical bit deinterleaver over bit-interleaved cells
    (whole OFDM symbols)."""
    tx = Transmission(mode=mode)
    d = tx.ofdm.data_carrier_count
    cells = np.asarray(cells[:len(cells) // d * d], np.uint8)
    constellation = dtv.MOD_16QAM if v == 4 else dtv.MOD_64QAM
    source = blocks.vector_source_b(cells.tolist(), False, d)
    deinterleaver = dtv.dvbt_bit_inner_deinterleaver(d, constellation, dtv.NH, tx.ofdm.gr_mode)
    sink = blocks.vector_sink_b(d)
    top = gr.top_block()
    top.connect(source, deinterleaver, sink)
    top.run()
    return np.array(sink.data(), np.uint8)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("samples")
    parser.add_argument("hp_output")
    parser.add_argument("lp_output")
    parser.add_argument("--format", default="float", choices=signal_formats.FORMATS)
    parser.add_argument("--bb-if", action="store_true")
    parser.add_argument("--mode", default="2k", choices=["2k", "8k"])
    parser.add_argument("--constellation", type=int, required=True, choices=[16, 64])
    parser.add_argument("--alpha", required=True, choices=["1", "2", "4"])
    parser.add_argument("--hp-rate", default="1/2", choices=list(CODE_RATES))
    parser.add_argument("--lp-rate", default="1/2", choices=list(CODE_RATES))
    parser.add_argument("--guard", default="1/32")
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    tx = Transmission(args.mode, args.constellation, args.alpha, args.hp_rate, args.guard)
    samples = signal_formats.base_rate_samples(args.samples, args.format, tx.mode, args.bb_if)
    symbols = decode(tx, args.lp_rate, samples, args.hp_output, args.lp_output)
    print(f"demodulated {symbols} OFDM symbols; wrote "
          f"{os.path.getsize(args.hp_output) // PACKET_SIZE} HP and "
          f"{os.path.getsize(args.lp_output) // PACKET_SIZE} LP packets")


if __name__ == "__main__":
    main(sys.argv[1:])
