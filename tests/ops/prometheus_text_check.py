"""prometheus_text() read by the Prometheus project's own Python parser
(Debian: python3-prometheus-client):
  prometheus_text_check.py PRINT_PROMETHEUS_TEXT
The program prints the text for known values (tests/ops/tools)."""
import subprocess
import sys

from prometheus_client.parser import text_string_to_metric_families

VERSION = 'v1.2j "test"'


def main(program):
    text = subprocess.run([program, VERSION], check=True, capture_output=True, timeout=30,
                          text=True).stdout
    families = {family.name: family for family in text_string_to_metric_families(text)}
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)

    # The parser names a counter's family without its "_total".
    expected = {
        "terramod_cycles": ("counter", "terramod_cycles_total", 12),
        "terramod_samples_out": ("counter", "terramod_samples_out_total", 9142857),
        "terramod_underflows": ("counter", "terramod_underflows_total", 3),
        "terramod_output_seconds": ("counter", "terramod_output_seconds_total", 1.0005),
        "terramod_tr101290_continuity_count_error": (
            "counter", "terramod_tr101290_continuity_count_error_total", 2),
        "terramod_buffer_seconds": ("gauge", "terramod_buffer_seconds", 0.25),
        "terramod_input_rate_bps": ("gauge", "terramod_input_rate_bps", 19905882.4),
        "terramod_frequency_hz": ("gauge", "terramod_frequency_hz", 474e6),
        "terramod_gain_db": ("gauge", "terramod_gain_db", 20.5),
        "terramod_ts_loss": ("gauge", "terramod_ts_loss", 1),
        "terramod_mute": ("gauge", "terramod_mute", 0),
        "terramod_start_time_seconds": ("gauge", "terramod_start_time_seconds", 1700000000),
    }
    for family_name, (kind, sample_name, value) in expected.items():
        family = families.get(family_name)
        expect(family is not None, "no family %s" % family_name)
        if family is None:
            continue
        expect(family.type == kind, "%s is a %s, not a %s" % (family_name, family.type, kind))
        expect(family.documentation != "", "%s has no help" % family_name)
        expect([(s.name, s.value) for s in family.samples] == [(sample_name, value)],
               "%s: %s" % (family_name, family.samples))
    expect(len(families) == 33, "%d families, not 32 and the build's" % len(families))
    for family in families.values():
        expect(family.name.startswith("terramod_"), "%s lacks the prefix" % family.name)
        expect(len(family.samples) == 1, "%s: %d samples" % (family.name, len(family.samples)))
    build = families.get("terramod_build_info")
    expect(build is not None and build.type == "gauge", "no build_info gauge")
    if build is not None:
        expect([(s.labels, s.value) for s in build.samples] == [({"version": VERSION}, 1)],
               "build_info: %s" % build.samples)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("%d metric families read back as printed" % len(families))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
