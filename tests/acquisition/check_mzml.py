"""Checks an mzML file with tools we did not write: xmllint against the indexed mzML 1.1 schema,
every cvParam against the PSI-MS (and unit) vocabulary, pymzml reading every spectrum.
As a script: check_mzml.py FILE [SPECTRA]; exit 0 when the file passes."""
import functools
import subprocess
import sys
import xml.etree.ElementTree as ET

import pymzml

XSD = "/usr/share/openms/SCHEMAS/mzML_idx_1_10.xsd"
OBO = ["/usr/share/openms/CV/psi-ms.obo", "/usr/share/openms/CV/unit.obo"]
NS = "{http://psi.hupo.org/ms/mzml}"


@functools.cache
def vocabulary():
    names, term = {}, None
    for path in OBO:
        for line in open(path, encoding="utf-8"):
            if line.startswith("id: "):
                term = line[4:].strip()
            elif line.startswith("name: ") and term:
                names[term], term = line[6:].strip(), None
    return names


def check(path):
    """Asserts the file is valid; returns its spectra as dicts and the TIC chromatogram."""
    lint = subprocess.run(["xmllint", "--noout", "--schema", XSD, path], capture_output=True, text=True)
    assert lint.returncode == 0, lint.stderr[-3000:]
    names = vocabulary()
    for el in ET.parse(path).iter(NS + "cvParam"):
        for acc, name in (("accession", "name"), ("unitAccession", "unitName")):
            if el.get(acc) is not None:
                assert names.get(el.get(acc)) == el.get(name), (el.get(acc), el.get(name))
    reader = pymzml.run.Reader(path)
    spectra = [{"mz": s.mz, "i": s.i, "time_s": s.scan_time_in_minutes() * 60,
                "tic": float(s["MS:1000285"]), "id": s.ID} for s in reader]
    tic = reader["TIC"]  # times in seconds, as written
    assert len(tic.time) == len(spectra)
    for k, s in enumerate(spectra):
        assert abs(tic.time[k] - s["time_s"]) < 1e-9 and tic.i[k] == s["tic"]
    return spectra


if __name__ == "__main__":
    found = check(sys.argv[1])
    if len(sys.argv) > 2 and len(found) != int(sys.argv[2]):
        sys.exit(f"{len(found)} spectra, expected {sys.argv[2]}")
