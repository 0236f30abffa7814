"""terramod's Python tools as one package: the DVB-T tables (dvbt), the
sample formats terramod writes (formats) and terramod-analyze's parts:
settings and SigMF metadata (settings), reading the samples (samples),
demodulation (ofdm), TPS decoding (tps), MER, spectrum and CCDF (measure),
the printed and plotted report (report) and the command (analyze).

The tests import this package (they put the tools folder on sys.path); the
package never imports from tests/."""
