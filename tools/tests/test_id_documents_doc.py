"""docs/id-photos.md lists every document as the table has it: the section
written from core/documents.py is the one in the docs."""

import importlib.util
from pathlib import Path

TOOL = Path(__file__).resolve().parents[1] / "id_documents_doc.py"


def load():
    spec = importlib.util.spec_from_file_location("id_documents_doc", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_docs_list_every_document_as_the_table_has_it():
    tool = load()
    text = tool.DOCS.read_text()
    assert tool.replaced(text) == text, "run tools/id_documents_doc.py --write"
    from portrait_studio.core.documents import DOCUMENTS

    for d in DOCUMENTS.values():
        assert f"| `{d.name}` |" in text and f"- `{d.name}`: " in text
