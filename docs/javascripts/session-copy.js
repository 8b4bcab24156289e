// The copy button of an interactive-session block copies only its code, ready to paste
// into the interpreter: ">>> " and "... " prompts are stripped and the output left out.
// The page shows the session as written, since every block is also checked as a doctest.
// Material copies the closest "data-copy" attribute when there is one, so setting it on
// the block is enough.

// A blank line closes each statement that ran over several lines, as the interpreter
// needs after a compound statement. After output, "..." is output (doctest's wildcard).
function sessionCode(text) {
  const code = [];
  let continued = false;
  let output = false;
  for (const line of text.replace(/\n$/, "").split("\n")) {
    const prompt = line.length === 3 || line[3] === " " ? line.slice(0, 3) : "";
    if (prompt === ">>>") {
      if (continued && code[code.length - 1] !== "") code.push("");
      continued = output = false;
      code.push(line.slice(4));
    } else if (prompt === "..." && !output) {
      continued = true;
      code.push(line.slice(4));
    } else {
      output = true;
    }
  }
  return code.join("\n");
}

function markSessions() {
  for (const block of document.querySelectorAll(".md-typeset pre > code")) {
    if (block.textContent.startsWith(">>> ")) {
      block.setAttribute("data-copy", sessionCode(block.textContent));
    }
  }
}

if (typeof module !== "undefined") {
  module.exports = { sessionCode };  // for the documentation tests, run under node
} else if (typeof document$ !== "undefined") {
  document$.subscribe(markSessions);  // Material's page-ready signal, on every page
} else {
  document.addEventListener("DOMContentLoaded", markSessions);
}
