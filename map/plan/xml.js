// XML files (.pln, .gpx) read with the browser's own parser.

// The document of `text`, or an Error saying it is no well-formed XML. Each
// engine reports a parse error as a <parsererror> element in the result.
export function parse_xml(text, kind) {
  const document = new DOMParser().parseFromString(text, "application/xml");
  if (document.getElementsByTagNameNS("*", "parsererror").length > 0)
    throw new Error(`not a ${kind} file: the XML in it is broken`);
  return document;
}

// The child elements of `element` with local name `name` (any namespace).
export function children(element, name) {
  return element ? [...element.children].filter((child) => child.localName === name) : [];
}

// The text of the first child `name` of `element`, trimmed; "" when none.
export function child_text(element, name) {
  return children(element, name)[0]?.textContent.trim() ?? "";
}
