// Checks the gate's signed tree heads and proofs with Go's own readers of the
// signed-note form (golang.org/x/mod/sumdb/note) and of transparency-log
// proofs (golang.org/x/mod/sumdb/tlog). Reads one JSON request on stdin and
// writes one JSON answer on stdout; every check's answer is reported, so the
// caller decides what had to pass and what had to fail.
package main

import (
	"crypto/ed25519"
	"encoding/base64"
	"encoding/hex"
	"encoding/json"
	"fmt"
	"os"
	"strconv"
	"strings"

	"golang.org/x/mod/sumdb/note"
	"golang.org/x/mod/sumdb/tlog"
)

type request struct {
	VerifierKey string   `json:"verifier_key"`
	PublicKey   string   `json:"public_key"` // hex
	Origin      string   `json:"origin"`
	Heads       []string `json:"heads"`
	Inclusions  []struct {
		Head        int      `json:"head"`
		EventDigest string   `json:"event_digest"`
		LeafIndex   int64    `json:"leaf_index"`
		Hashes      []string `json:"hashes"`
	} `json:"inclusions"`
	Consistencies []struct {
		Old    int      `json:"old"`
		New    int      `json:"new"`
		Hashes []string `json:"hashes"`
	} `json:"consistencies"`
}

type head struct {
	Error  string `json:"error,omitempty"`
	Origin string `json:"origin,omitempty"`
	Size   int64  `json:"size"`
	Root   string `json:"root,omitempty"` // hex
	root   tlog.Hash
}

type answer struct {
	VerifierKeyFromGo string   `json:"verifier_key_from_go"`
	Heads             []head   `json:"heads"`
	Inclusions        []string `json:"inclusions"`    // "" when the proof checks out, else the error
	Consistencies     []string `json:"consistencies"` // the same
}

// openHead opens a note with the gate's verifier and reads its checkpoint text.
func openHead(text string, verifier note.Verifier) head {
	n, err := note.Open([]byte(text), note.VerifierList(verifier))
	if err != nil {
		return head{Error: err.Error()}
	}
	lines := strings.Split(strings.TrimSuffix(n.Text, "\n"), "\n")
	if len(lines) != 3 {
		return head{Error: "checkpoint text must have three lines"}
	}
	size, err := strconv.ParseInt(lines[1], 10, 64)
	if err != nil || size < 1 {
		return head{Error: "bad tree size"}
	}
	raw, err := base64.StdEncoding.DecodeString(lines[2])
	if err != nil || len(raw) != tlog.HashSize {
		return head{Error: "bad root hash"}
	}
	h := head{Origin: lines[0], Size: size, Root: hex.EncodeToString(raw)}
	copy(h.root[:], raw)
	return h
}

func hashes(list []string) ([]tlog.Hash, error) {
	out := make([]tlog.Hash, 0, len(list))
	for _, text := range list {
		raw, err := hex.DecodeString(text)
		if err != nil || len(raw) != tlog.HashSize {
			return nil, fmt.Errorf("bad proof hash %q", text)
		}
		var h tlog.Hash
		copy(h[:], raw)
		out = append(out, h)
	}
	return out, nil
}

func errText(err error) string {
	if err == nil {
		return ""
	}
	return err.Error()
}

func run() error {
	var req request
	if err := json.NewDecoder(os.Stdin).Decode(&req); err != nil {
		return err
	}
	verifier, err := note.NewVerifier(req.VerifierKey)
	if err != nil {
		return fmt.Errorf("verifier key: %v", err)
	}
	key, err := hex.DecodeString(req.PublicKey)
	if err != nil {
		return err
	}
	var ans answer
	ans.VerifierKeyFromGo, err = note.NewEd25519VerifierKey(req.Origin, ed25519.PublicKey(key))
	if err != nil {
		return err
	}
	for _, text := range req.Heads {
		ans.Heads = append(ans.Heads, openHead(text, verifier))
	}
	for _, inc := range req.Inclusions {
		h := ans.Heads[inc.Head]
		proof, err := hashes(inc.Hashes)
		digest, derr := hex.DecodeString(inc.EventDigest)
		switch {
		case h.Error != "":
			err = fmt.Errorf("head: %s", h.Error)
		case derr != nil:
			err = derr
		case err == nil:
			err = tlog.CheckRecord(tlog.RecordProof(proof), h.Size, h.root, inc.LeafIndex, tlog.RecordHash(digest))
		}
		ans.Inclusions = append(ans.Inclusions, errText(err))
	}
	for _, c := range req.Consistencies {
		oldHead, newHead := ans.Heads[c.Old], ans.Heads[c.New]
		proof, err := hashes(c.Hashes)
		switch {
		case oldHead.Error != "" || newHead.Error != "":
			err = fmt.Errorf("head: %s%s", oldHead.Error, newHead.Error)
		case err == nil:
			err = tlog.CheckTree(tlog.TreeProof(proof), newHead.Size, newHead.root, oldHead.Size, oldHead.root)
		}
		ans.Consistencies = append(ans.Consistencies, errText(err))
	}
	return json.NewEncoder(os.Stdout).Encode(ans)
}

func main() {
	if err := run(); err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
}
